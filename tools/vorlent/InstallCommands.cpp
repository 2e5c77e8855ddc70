// Class registration: the library's own entry point writes or removes its classes in the
// user's registry file or, with --machine, in the machine's.
#include "Commands.h"
#include "PackageCommands.h"

namespace vorlent {

namespace {

int Registration(const Args& args, Output& out, bool install) {
  bool machine = args.Flag("--machine");
  Check(DllInstall(install ? TRUE : FALSE, machine ? u"machine" : u"user"), static_cast<IVorlent*>(nullptr));
  out.doc = {{"registered", install}, {"machine", machine}};
  out.Line(std::string(install ? "Классы зарегистрированы" : "Регистрация классов снята") +
           (machine ? " для компьютера" : " для пользователя"));
  return kExitOk;
}

int CmdRegister(const Args& args, Output& out) {
  return Registration(args, out, true);
}

int CmdUnregister(const Args& args, Output& out) {
  return Registration(args, out, false);
}

}  // namespace

void AddInstallCommands(std::vector<Command>& commands) {
  commands.push_back({"register",
                      "[--machine]",
                      "Регистрирует классы библиотеки, чтобы клиенты создавали объекты по программному\n"
                      "идентификатору: в реестре пользователя или, с --machine, в реестре компьютера.",
                      {{}, {"--machine"}, 0, 0},
                      &CmdRegister});
  commands.push_back({"unregister",
                      "[--machine]",
                      "Снимает регистрацию классов библиотеки в реестре пользователя или, с --machine, в\n"
                      "реестре компьютера; чужие записи остаются как были.",
                      {{}, {"--machine"}, 0, 0},
                      &CmdUnregister});
}

}  // namespace vorlent
