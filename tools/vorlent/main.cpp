// vorlent: the command line of the QelVorlent library. Every command is a client of the
// library's public interfaces in libqelvorlent.so.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "PackageCommands.h"
#include "Pin.h"
#include "Util.h"
#include "qv_version.h"

namespace vorlent {

void Output::Line(const std::string& text) const {
  if (json_ || quiet_) return;
  std::cout << Printable(text) << '\n';
}

void Output::Note(const std::string& text) const {
  if (quiet_) return;
  std::cerr << Printable(text) << '\n';
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> list;
    AddPackageCommands(list);
    AddKeyCommands(list);
    AddInstallCommands(list);
    AddCertCommands(list);
    return list;
  }();
  return commands;
}

namespace {

void PrintUsage(std::ostream& stream) {
  stream << "Использование: vorlent КОМАНДА [АРГУМЕНТЫ] [--json] [--quiet] [--pin pass:|env:|file:|fd:]\n"
            "       vorlent --version\n\n"
            "Команды:\n";
  for (const Command& command : Commands())
    stream << "  vorlent " << command.name << " " << command.synopsis << '\n';
  stream << "\nСправка по команде: vorlent КОМАНДА --help\n";
}

void PrintHelp(const Command& command) {
  std::cout
      << "Использование: vorlent " << command.name << " " << command.synopsis << "\n\n"
      << command.help << "\n\n"
      << "Общие параметры: --json (вывод JSON), --quiet (только ошибки), --pin pass:ТЕКСТ|env:ПЕРЕМЕННАЯ|\n"
         "file:ПУТЬ|fd:N (PIN контейнера; иначе QELVORLENT_PIN, иначе запрос на терминале).\n"
         "file: и fd: дают первую строку (не длиннее 4096 байт) обычного файла, канала или терминала;\n"
         "канал ждут не дольше 60 с (QELVORLENT_PIN_WAIT). Пустой PIN, неоткрытый дескриптор, папка\n"
         "или устройство - ошибка, и ничего не создаётся. То же для --password.\n"
         "Безопасны env:, file: и fd:; pass: виден другим пользователям в списке процессов, пока команда\n"
         "его не затрёт, и остаётся в истории оболочки.\n";
}

int Run(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0] == "--help" || argv[0] == "-h" || argv[0] == "help") {
    PrintUsage(argv.empty() ? std::cerr : std::cout);
    return argv.empty() ? kExitUsage : kExitOk;
  }
  if (argv[0] == "--version") {
    std::cout << "vorlent " QV_PRODUCT_VERSION "\n";
    return kExitOk;
  }
  const Command* found = nullptr;
  std::size_t used = 1;
  for (const Command& command : Commands()) {
    std::string name = command.name;
    std::size_t space = name.find(' ');
    if (space == std::string::npos) {
      if (argv[0] == name) found = &command;
    } else if (argv[0] == name.substr(0, space) && argv.size() > 1 && argv[1] == name.substr(space + 1)) {
      found = &command;
      used = 2;
    }
    if (found) break;
  }
  bool json = false;
  for (const std::string& arg : argv) json = json || arg == "--json";
  try {
    if (!found) {
      bool group = argv[0] == "keys" || argv[0] == "cert";
      if (group && (argv.size() == 1 || argv[1] == "--help" || argv[1] == "-h")) {
        for (const Command& command : Commands()) {
          if (std::string(command.name).rfind(argv[0] + " ", 0) == 0)
            std::cout << "  vorlent " << command.name << " " << command.synopsis << '\n';
        }
        return argv.size() == 1 ? kExitUsage : kExitOk;
      }
      Usage("неизвестная команда " + argv[0] + (group && argv.size() > 1 ? " " + argv[1] : ""));
    }
    Args args(std::vector<std::string>(argv.begin() + static_cast<std::ptrdiff_t>(used), argv.end()),
              found->spec);
    if (args.help) {
      PrintHelp(*found);
      return kExitOk;
    }
    SetupPin(args.Value("--pin"));
    Output out(args.json, args.quiet);
    int status = found->run(args, out);
    if (args.json && !out.streamed) {
      out.doc["ok"] = status == kExitOk;
      std::cout << out.doc.dump(2) << '\n';
    }
    return status;
  } catch (const Failure& e) {
    std::cerr << "vorlent: " << Printable(e.what()) << '\n';
    if (e.Status() == kExitUsage && found)
      std::cerr << "Использование: vorlent " << found->name << " " << found->synopsis << '\n';
    if (json) std::cout << nlohmann::json{{"ok", false}, {"error", e.what()}}.dump(2) << '\n';
    return e.Status();
  } catch (const std::exception& e) {
    std::cerr << "vorlent: " << Printable(e.what()) << '\n';
    if (json) std::cout << nlohmann::json{{"ok", false}, {"error", e.what()}}.dump(2) << '\n';
    return kExitFailed;
  }
}

}  // namespace
}  // namespace vorlent

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  vorlent::HideSecretArguments(argc, argv);
  return vorlent::Run(args);
}
