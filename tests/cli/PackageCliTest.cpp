// vorlent on packages: new, show, add, remove, extract, and the failures of the command line.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli/CliTest.h"
#include "foundation/Files.h"

namespace {

using qvtest::ReadBytes;
using qvtest::TestPath;
using qvtest::Vorlent;
using qvtest::WriteBytes;

// Package file names carry a fresh document identifier: shown as <id>.
std::string Masked(const std::string& text) {
  return std::regex_replace(text, std::regex("[0-9a-f]{32}"), "<id>");
}

void WriteDocuments() {
  WriteBytes(TestPath("заявление.xml"), "<?xml version=\"1.0\"?><Файл/>\n");
  WriteBytes(TestPath("форма.pdf"), "%PDF-1.4 printed form\n");
  WriteBytes(TestPath("квитанция.pdf"), std::string("fee\0receipt", 11));
}

const char* kNew =
    "new p.zip --transaction ul-reg --sender abonent:2BM-7701234567-770101001 --receiver fns:7746 "
    "--add 01:заявление.xml --add 02:application/pdf:форма.pdf";

TEST(CliPackage, NewShowAddRemoveGolden) {
  WriteDocuments();
  auto made = Vorlent(kNew);
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "Создан пакет p.zip: ul-reg, документов: 2\n");
  EXPECT_EQ(made.err, "");

  auto added = Vorlent("add p.zip 04 квитанция.pdf");
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, "Добавлен документ [2] ПДГоспошлина: квитанция.pdf\n");

  auto shown = Vorlent("show p.zip");
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(Masked(shown.out),
            "Пакет: p.zip\n"
            "Транзакция: ul-reg (1)\n"
            "Отправитель: abonent 2BM-7701234567-770101001\n"
            "Получатель: fns 7746\n"
            "Документооборот: ЮЛ РегистрацияЮЛ, идентификатор <id>\n"
            "Спецоператор: нет\n"
            "Зашифрован: нет\n"
            "Документы: 3\n"
            "[0] ЗаявлениеЮЛ, код 01, text/xml, сжат: нет, зашифрован: нет\n"
            "    исходный файл: заявление.xml; в пакете: ZayavUL_<id>.xml; 33 байт\n"
            "[1] ЗаявлениеЮЛформат, код 02, application/pdf, сжат: нет, зашифрован: нет\n"
            "    исходный файл: форма.pdf; в пакете: ZayavULxml_<id>.pdf; 22 байт\n"
            "[2] ПДГоспошлина, код 04, application/pdf, сжат: нет, зашифрован: нет\n"
            "    исходный файл: квитанция.pdf; в пакете: GosPoshlina_<id>.pdf; 11 байт\n");

  auto removed = Vorlent("remove p.zip 1");
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "Удалён документ [1] форма.pdf\n");
  auto json = Vorlent("show p.zip --json").Json();
  ASSERT_EQ(json["documents"].size(), 2u);
  EXPECT_EQ(json["documents"][1]["sourceFile"], "квитанция.pdf");
  EXPECT_EQ(json["documents"][1]["size"], 11);
  EXPECT_EQ(json["ok"], true);

  // --quiet prints nothing on success.
  auto quiet = Vorlent("show p.zip --quiet");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
}

TEST(CliPackage, JsonOfShowAndOfFailures) {
  WriteDocuments();
  ASSERT_EQ(Vorlent(kNew).status, 0);
  auto shown = Vorlent("show p.zip --json");
  ASSERT_EQ(shown.status, 0);
  nlohmann::json doc = shown.Json();
  EXPECT_EQ(doc["transaction"], "ul-reg");
  EXPECT_EQ(doc["transactionCode"], 1);
  EXPECT_EQ(doc["sender"]["role"], "abonent");
  EXPECT_EQ(doc["sender"]["id"], "2BM-7701234567-770101001");
  EXPECT_EQ(doc["receiver"]["role"], "fns");
  EXPECT_EQ(doc["encrypted"], false);
  ASSERT_EQ(doc["documents"].size(), 2u);
  EXPECT_EQ(doc["documents"][0]["kind"], "ЗаявлениеЮЛ");
  EXPECT_EQ(doc["documents"][0]["code"], "01");
  EXPECT_EQ(doc["documents"][0]["contentType"], "text/xml");
  EXPECT_TRUE(doc["documents"][0]["signatures"].empty());

  auto missing = Vorlent("show nothing.zip --json");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.Json(), (nlohmann::json{{"ok", false}, {"error", "нет файла пакета nothing.zip"}}));
  EXPECT_EQ(missing.err, "vorlent: нет файла пакета nothing.zip\n");

  // A package without signatures does not verify.
  auto verify = Vorlent("verify p.zip --json");
  EXPECT_EQ(verify.status, 1);
  nlohmann::json result = verify.Json();
  EXPECT_EQ(result["valid"], false);
  ASSERT_EQ(result["signatures"].size(), 2u);
  EXPECT_EQ(result["signatures"][0]["error"], "нет подписей");
}

TEST(CliPackage, SuspensionAndMfcHaveNoEnumerationNameButWork) {
  WriteDocuments();
  EXPECT_EQ(
      Vorlent("new s.zip --transaction ul-suspend --sender mfc:77 --receiver fns:7746").err,
      "vorlent: пакет без документов не откроется: задайте хотя бы один --add\nИспользование: vorlent new "
      "OUT.zip --transaction T --sender ROLE:ID --receiver ROLE:ID --add CODE[:TYPE]:FILE [--add ...]\n");
  EXPECT_NE(access(TestPath("s.zip").c_str(), F_OK), 0);
  ASSERT_EQ(
      Vorlent("new s.zip --transaction ul-suspend --sender mfc:77 --receiver fns:7746 --add 43:заявление.xml")
          .status,
      0);
  nlohmann::json doc = Vorlent("show s.zip --json").Json();
  EXPECT_EQ(doc["transaction"], "ul-suspend");
  EXPECT_EQ(doc["transactionCode"], 11);
  EXPECT_EQ(doc["sender"]["role"], "mfc");
  auto last = Vorlent("remove s.zip 0");
  EXPECT_EQ(last.status, 1);
  EXPECT_EQ(last.err, "vorlent: это последний документ пакета: пакет без документов не откроется\n");
  EXPECT_EQ(Vorlent("show s.zip").status, 0);
}

TEST(CliPackage, ExtractWritesContentsUnderSourceNames) {
  WriteDocuments();
  ASSERT_EQ(Vorlent(kNew + std::string(" --add 04:квитанция.pdf")).status, 0);
  auto extracted = Vorlent("extract p.zip -d out");
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(extracted.out, "out/заявление.xml\nout/форма.pdf\nout/квитанция.pdf\n");
  EXPECT_EQ(ReadBytes(TestPath("out/квитанция.pdf")), std::string("fee\0receipt", 11));
  EXPECT_EQ(ReadBytes(TestPath("out/заявление.xml")), ReadBytes(TestPath("заявление.xml")));

  // Nothing existing is overwritten without --force.
  WriteBytes(TestPath("out/форма.pdf"), "mine");
  auto again = Vorlent("extract p.zip -d out");
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "vorlent: файл уже существует: out/заявление.xml (--force перезапишет)\n");
  EXPECT_EQ(ReadBytes(TestPath("out/форма.pdf")), "mine");
  EXPECT_EQ(Vorlent("extract p.zip -d out --force").status, 0);
  EXPECT_EQ(ReadBytes(TestPath("out/форма.pdf")), "%PDF-1.4 printed form\n");
}

// Every byte value goes in and comes out unchanged, and every entry takes the smaller of
// its deflated and stored forms: a five-byte document is stored, noise is stored, text is
// deflated, and other tools read the archive.
TEST(CliPackage, EveryByteSurvivesAndEachEntryTakesItsSmallerForm) {
  std::string bytes;
  for (int i = 0; i < 4096; ++i)
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>((b + i / 16) & 0xFF);
  std::string noise;
  unsigned state = 7;
  for (int i = 0; i < 300000; ++i) {
    state = state * 1103515245u + 12345u;
    noise += static_cast<char>(state >> 24);
  }
  WriteBytes(TestPath("bytes.bin"), bytes);
  WriteBytes(TestPath("noise.bin"), noise);
  WriteBytes(TestPath("tiny.txt"), "hello");
  ASSERT_EQ(Vorlent("new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 "
                    "--add 04:bytes.bin --add 04:tiny.txt")
                .status,
            0);
  ASSERT_EQ(Vorlent("add p.zip 04 noise.bin").status, 0);
  EXPECT_EQ(qvtest::RunCommand("unzip -tq '" + TestPath("p.zip") + "' >/dev/null"), 0);
  std::string forms;
  ASSERT_EQ(qvtest::RunCommand("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                               "assert z.testzip() is None; "
                               "print(' '.join(sorted('%d:%d:%d' % (i.file_size, i.compress_type, "
                               "i.compress_size) for i in z.infolist() if i.file_size in (5, 300000))) + "
                               "' ' + str(min(i.compress_size for i in z.infolist() if i.file_size == "
                               "1048576) < 100000), end='')\" '" +
                                   TestPath("p.zip") + "'",
                               &forms),
            0);
  EXPECT_EQ(forms, "300000:0:300000 5:0:5 True");

  auto extracted = Vorlent("extract p.zip -d out");
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(ReadBytes(TestPath("out/bytes.bin")), bytes);
  EXPECT_EQ(ReadBytes(TestPath("out/tiny.txt")), "hello");
  EXPECT_EQ(ReadBytes(TestPath("out/noise.bin")), noise);
}

// The peak resident memory (KiB) of `vorlent ARGS` run in the test folder, -1 when it fails.
long PeakKib(const std::string& args) {
  std::string peak;
  int status =
      qvtest::RunCommand("cd '" + qvtest::TestFolder() +
                             "' && python3 -c \"import resource,subprocess,sys; "
                             "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode; "
                             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss if r == 0 "
                             "else -1, end='')\" '" VORLENT_BIN "' " +
                             args,
                         &peak);
  return status == 0 ? std::stol(peak) : -1;
}

// A package command holds a document at most twice (the library's copy and one more),
// besides what the program needs anyway.
TEST(CliPackage, PeakMemoryStaysWithinTwiceTheDocument) {
  constexpr long kDocumentMib = 32;
  std::string text;
  text.reserve(kDocumentMib << 20);
  for (unsigned line = 0; text.size() < (kDocumentMib << 20); ++line)
    text += "Строка " + std::to_string(line * 2654435761u) + " устава общества\r\n";
  text.resize(kDocumentMib << 20);
  WriteBytes(TestPath("big.txt"), text);
  WriteBytes(TestPath("tiny.txt"), "hello");
  // The sanitizer build's programs take far more than they hold: there only the results count.
  const long bound = qvtest::kSanitized ? 1L << 40 : (2 * kDocumentMib + 32) << 10;
  const std::string parties = " --transaction ul-reg --sender abonent:1 --receiver fns:7746 ";
  long peak = PeakKib("new a.zip" + parties + "--add 04:big.txt");
  EXPECT_GT(peak, 0);
  EXPECT_LE(peak, bound) << "new";
  ASSERT_EQ(Vorlent("new b.zip" + parties + "--add 04:tiny.txt").status, 0);
  peak = PeakKib("add b.zip 04 big.txt");
  EXPECT_GT(peak, 0);
  EXPECT_LE(peak, bound) << "add";
  peak = PeakKib("show b.zip");
  EXPECT_GT(peak, 0);
  EXPECT_LE(peak, bound) << "show";
  peak = PeakKib("extract a.zip -d out");
  EXPECT_GT(peak, 0);
  EXPECT_LE(peak, bound) << "extract";
  EXPECT_TRUE(ReadBytes(TestPath("out/big.txt")) == text);
}

TEST(CliPackage, SameSourceNamesDoNotOverwriteEachOther) {
  WriteBytes(TestPath("a.pdf"), "first");
  qvtest::RunCommand("mkdir -p '" + TestPath("sub") + "'");
  WriteBytes(TestPath("sub/a.pdf"), "second");
  ASSERT_EQ(Vorlent("new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add 04:a.pdf "
                    "--add 04:sub/a.pdf")
                .status,
            0);
  auto extracted = Vorlent("extract p.zip -d out");
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(extracted.out, "out/a.pdf\nout/2_a.pdf\n");
  EXPECT_EQ(ReadBytes(TestPath("out/a.pdf")), "first");
  EXPECT_EQ(ReadBytes(TestPath("out/2_a.pdf")), "second");
}

TEST(CliPackage, ExtractNeverWritesThroughLinksNorLosesADocument) {
  WriteBytes(TestPath("victim.txt"), "untouched");
  WriteBytes(TestPath("x.pdf"), "X");
  WriteBytes(TestPath("r.pdf.part"), "P");
  WriteBytes(TestPath("r.pdf"), "R");
  ASSERT_EQ(Vorlent("new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add 04:x.pdf "
                    "--add 04:r.pdf.part --add 04:r.pdf")
                .status,
            0);
  // A link planted where a temporary file might be written.
  ASSERT_EQ(qvtest::RunCommand("cd '" + qvtest::TestFolder() +
                               "' && mkdir out && ln -s ../victim.txt out/x.pdf.part && ln -s ../victim.txt "
                               "out/r.pdf.part.part"),
            0);
  auto extracted = Vorlent("extract p.zip -d out");
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(extracted.out, "out/x.pdf\nout/r.pdf.part\nout/r.pdf\n");
  EXPECT_EQ(ReadBytes(TestPath("victim.txt")), "untouched");
  EXPECT_EQ(ReadBytes(TestPath("out/x.pdf")), "X");
  EXPECT_EQ(ReadBytes(TestPath("out/r.pdf.part")), "P");
  EXPECT_EQ(ReadBytes(TestPath("out/r.pdf")), "R");
  std::string listing;
  qvtest::RunCommand("ls -A '" + TestPath("out") + "'", &listing);
  EXPECT_EQ(listing, "r.pdf\nr.pdf.part\nr.pdf.part.part\nx.pdf\nx.pdf.part\n");

  // A link at the target itself: refused without --force, replaced (not followed) with it.
  ASSERT_EQ(
      qvtest::RunCommand("cd '" + qvtest::TestFolder() + "' && mkdir out2 && ln -s ../victim.txt out2/x.pdf"),
      0);
  auto refused = Vorlent("extract p.zip -d out2");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "vorlent: файл уже существует: out2/x.pdf (--force перезапишет)\n");
  EXPECT_EQ(ReadBytes(TestPath("victim.txt")), "untouched");
  auto forced = Vorlent("extract p.zip -d out2 --force");
  ASSERT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(ReadBytes(TestPath("victim.txt")), "untouched");
  struct stat st {};
  ASSERT_EQ(lstat(TestPath("out2/x.pdf").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadBytes(TestPath("out2/x.pdf")), "X");
}

TEST(CliPackage, SavingKeepsThePackageModeAndANewOneFollowsTheUmask) {
  WriteDocuments();
  const std::string create =
      "new %s --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add 01:заявление.xml";
  auto made = [&](const std::string& name, const std::string& umask) {
    std::string args = create;
    args.replace(args.find("%s"), 2, name);
    return Vorlent(args, "umask " + umask + " && ").status;
  };
  ASSERT_EQ(made("open.zip", "022"), 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("open.zip")), 0644);
  ASSERT_EQ(made("private.zip", "077"), 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("private.zip")), 0600);

  // Changing commands keep the mode the owner gave, whatever their own umask.
  ASSERT_EQ(chmod(TestPath("open.zip").c_str(), 0600), 0);
  ASSERT_EQ(Vorlent("add open.zip 04 квитанция.pdf", "umask 022 && ").status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("open.zip")), 0600);
  ASSERT_EQ(Vorlent("remove open.zip 1", "umask 000 && ").status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("open.zip")), 0600);
  ASSERT_EQ(chmod(TestPath("open.zip").c_str(), 0640), 0);
  ASSERT_EQ(Vorlent("add open.zip 04 квитанция.pdf", "umask 077 && ").status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("open.zip")), 0640);
  EXPECT_EQ(Vorlent("show open.zip --json").Json()["documents"].size(), 2u);
}

TEST(CliPackage, ConcurrentChangesOfOnePackageAreAllKept) {
  WriteDocuments();
  ASSERT_EQ(Vorlent("new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add "
                    "01:заявление.xml")
                .status,
            0);
  const int kCommands = 6;
  std::string script = "cd '" + qvtest::TestFolder() + "' && for i in";
  for (int i = 0; i < kCommands; ++i) {
    WriteBytes(TestPath("d" + std::to_string(i) + ".pdf"), "document " + std::to_string(i));
    script += " " + std::to_string(i);
  }
  script +=
      "; do ( '" VORLENT_BIN "' add p.zip 04 d$i.pdf >/dev/null 2>&1; echo $? > status$i ) & done; wait";
  ASSERT_EQ(qvtest::RunCommand(script), 0);
  for (int i = 0; i < kCommands; ++i)
    EXPECT_EQ(ReadBytes(TestPath("status" + std::to_string(i))), "0\n") << i;
  auto shown = Vorlent("show p.zip --json");
  ASSERT_EQ(shown.status, 0) << shown.err;
  std::set<std::string> names;
  const nlohmann::json doc = shown.Json();
  for (const auto& d : doc["documents"]) names.insert(d["sourceFile"].get<std::string>());
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kCommands + 1));
  for (int i = 0; i < kCommands; ++i) EXPECT_EQ(names.count("d" + std::to_string(i) + ".pdf"), 1u) << i;
  // the lock leaves nothing beside the package
  EXPECT_EQ(qvtest::FileMode(TestPath("p.zip.lock")), -1);
}

// What others put beside a package in a shared folder neither blocks a command that changes it
// nor is touched by it, and the lock of a package still to be made goes with the command.
TEST(CliPackage, FilesBesideThePackageNeitherBlockItsLockNorStay) {
  WriteDocuments();
  const std::string newPackage =
      "new %s --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add 01:заявление.xml";
  auto create = [&](const std::string& name) {
    std::string args = newPackage;
    return Vorlent(args.replace(args.find("%s"), 2, name));
  };
  ASSERT_EQ(create("p.zip").status, 0);
  // a FIFO of that name blocked the opening of the lock file for ever (`timeout` only ends a
  // command that would otherwise wait for ever)
  unlink(TestPath("p.zip.lock").c_str());  // whatever the first command left
  ASSERT_EQ(mkfifo(TestPath("p.zip.lock").c_str(), 0666), 0);
  EXPECT_EQ(qvtest::RunCommand("cd '" + qvtest::TestFolder() +
                               "' && timeout 120 '" VORLENT_BIN "' add p.zip 04 квитанция.pdf </dev/null"),
            0);
  struct stat st {};
  ASSERT_EQ(lstat(TestPath("p.zip.lock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(unlink(TestPath("p.zip.lock").c_str()), 0);

  // a lock file of another user's, held locked, failed every command after a minute's wait
  WriteBytes(TestPath("p.zip.lock"), "");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(TestPath("p.zip.lock").c_str(), 65534, 65534), 0);
  }
  {
    qv::CFileHandle held(open(TestPath("p.zip.lock").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(held.Get(), LOCK_EX), 0);
    auto removed = Vorlent("remove p.zip 1");
    EXPECT_EQ(removed.status, 0) << removed.err;
  }
  ASSERT_EQ(lstat(TestPath("p.zip.lock").c_str(), &st), 0);  // left as it was
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(Vorlent("show p.zip --json").Json()["documents"].size(), 1u);

  // a new package: PKG.lock is made for it and removed, one of the user's own left by a
  // command that was killed is taken over and removed too
  ASSERT_EQ(create("q.zip").status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("q.zip.lock")), -1);
  WriteBytes(TestPath("r.zip.lock"), "");
  ASSERT_EQ(create("r.zip").status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("r.zip.lock")), -1);
  // a command that finds no package leaves no lock either
  EXPECT_NE(Vorlent("add s.zip 04 квитанция.pdf").status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("s.zip.lock")), -1);
}

// A file name the library's code page cannot hold (or bytes that are not UTF-8) is refused with
// its reason; nothing is added or written under another name.
TEST(CliPackage, NamesOutsideTheCodePageAreRefused) {
  WriteDocuments();
  ASSERT_EQ(Vorlent(kNew).status, 0);
  WriteBytes(TestPath("résumé.pdf"), "%PDF");
  WriteBytes(TestPath("caf\xe9.pdf"), "%PDF");
  const std::string before = ReadBytes(TestPath("p.zip"));
  const std::string reason = "] содержит знаки, которых нет в кодировке windows-1251\n";
  auto added = Vorlent("add p.zip 04 résumé.pdf");
  EXPECT_EQ(added.status, 1);
  EXPECT_EQ(added.err, "vorlent: Имя файла [r?sum?.pdf" + reason);
  added = Vorlent("add p.zip 04 \"$(printf 'caf\\351.pdf')\"");
  EXPECT_EQ(added.status, 1);
  EXPECT_EQ(added.err, "vorlent: Имя файла [caf?.pdf" + reason);
  EXPECT_EQ(ReadBytes(TestPath("p.zip")), before);
  auto made =
      Vorlent("new 包.zip --transaction ul-reg --sender abonent:1 --receiver fns:1 --add 01:заявление.xml");
  EXPECT_EQ(made.status, 1);
  EXPECT_EQ(made.err, "vorlent: Имя файла [?.zip" + reason);
  EXPECT_NE(access(TestPath("?.zip").c_str(), F_OK), 0);
  EXPECT_NE(access(TestPath("包.zip").c_str(), F_OK), 0);
  // a name the code page holds, "€" and "№" among them, is taken as it is
  WriteBytes(TestPath("№ €.pdf"), "%PDF");
  auto kept = Vorlent("add p.zip 04 '№ €.pdf'");
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(kept.out, "Добавлен документ [2] ПДГоспошлина: № €.pdf\n");
}

TEST(CliUsage, FailuresGiveStatusAndMessage) {
  WriteDocuments();
  ASSERT_EQ(Vorlent(kNew).status, 0);
  struct Case {
    std::string args;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"", 2, ""},
      {"frobnicate", 2, "vorlent: неизвестная команда frobnicate\n"},
      {"keys frobnicate", 2, "vorlent: неизвестная команда keys frobnicate\n"},
      {"show", 2, "vorlent: не хватает аргументов\nИспользование: vorlent show PKG.zip\n"},
      {"show p.zip extra", 2, "vorlent: лишний аргумент: extra\nИспользование: vorlent show PKG.zip\n"},
      {"show p.zip --bogus", 2,
       "vorlent: неизвестный параметр --bogus\nИспользование: vorlent show PKG.zip\n"},
      {"new q.zip --transaction ul-close --sender abonent:1 --receiver fns:1", 2,
       "vorlent: неизвестная транзакция ul-close (ul-reg, ul-notice-receipt, ul-receipt, ul-reject, "
       "ul-info, ul-suspend, ip-reg, ip-notice-receipt, ip-receipt, ip-reject, ip-info)\n"},
      {"new q.zip --transaction ul-reg --sender boss:1 --receiver fns:1", 2,
       "vorlent: неизвестная роль boss (abonent, applicant, notary, fns, sos, duc, cbrf, ionotary, "
       "minust, mfc)\n"},
      {"new q.zip --transaction ul-reg --sender abonent --receiver fns:1", 2,
       "vorlent: --sender: ожидается РОЛЬ:ИДЕНТИФИКАТОР, например abonent:2BM-7701234567-770101001\n"},
      {"new q.zip --transaction ul-reg --sender abonent:1 --receiver fns:1 --add 01:missing.xml", 1,
       "vorlent: не удалось открыть файл missing.xml: No such file or directory\n"},
      {"new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:1", 1,
       "vorlent: файл уже существует: p.zip (--force перезапишет)\n"},
      {"keys import-cert x.cer --store uAddressBook --container c", 2,
       "vorlent: --container задаётся только для личного хранилища (uMy, mMy)\n"},
      {"keys list --store uTrust", 2,
       "vorlent: неизвестное хранилище uTrust (uMy, uAddressBook, uRoot, uCA, mMy, mAddressBook, mRoot, "
       "mCA)\n"},
      {"keys list --store My", 2,
       "vorlent: хранилище задаётся с признаком размещения (u — пользователя, m — компьютера): uMy, "
       "uAddressBook, uRoot, uCA, mMy, mAddressBook, mRoot, mCA\n"},
      {"keys remove 0011223344556677889900112233445566778899 --store uCA", 1,
       "vorlent: Сертификат с отпечатком [0011223344556677889900112233445566778899] не найден в хранилище "
       "CA\n"},
      {"remove p.zip 7", 1, "vorlent: нет документа с номером 7 (в пакете 2)\n"},
      {"remove p.zip one", 2, "vorlent: номер документа должен быть числом: one\n"},
      {"sign p.zip --all --key 12AB", 2,
       "vorlent: отпечаток SHA-1 состоит из 40 шестнадцатеричных цифр: 12AB\n"},
      {"sign p.zip --key 0011223344556677889900112233445566778899", 2,
       "vorlent: задайте --doc ИМЯ или --all\n"},
      {"sign p.zip --doc nothing.pdf --key 0011223344556677889900112233445566778899", 1,
       "vorlent: в пакете нет документа nothing.pdf\n"},
      {"encrypt p.zip", 2, "vorlent: задайте одно из: --cert ФАЙЛ или --recipient SHA1\n"},
      {"attach-signature p.zip --doc 0 sig.p7s --role boss", 2,
       "vorlent: неизвестная роль boss (abonent, applicant, notary, fns, sos, duc, cbrf, ionotary, "
       "minust, mfc)\n"},
      {"show p.zip --pin nonsense", 2,
       "vorlent: --pin: ожидается pass:ТЕКСТ, env:ПЕРЕМЕННАЯ, file:ПУТЬ или fd:N\n"},
      {"show p.zip --pin env:QV_NO_SUCH_VARIABLE", 1,
       "vorlent: --pin: переменная окружения QV_NO_SUCH_VARIABLE не задана\n"},
  };
  for (const Case& c : cases) {
    auto result = Vorlent(c.args);
    EXPECT_EQ(result.status, c.status) << c.args;
    EXPECT_EQ(result.out, "") << c.args;
    if (!c.err.empty()) {
      // Usage failures end with the command's synopsis; compare the first line unless given in full.
      std::string first = result.err.substr(0, result.err.find('\n') + 1);
      EXPECT_TRUE(result.err == c.err || first == c.err) << c.args << "\n" << result.err;
    } else {
      EXPECT_NE(result.err.find("Использование: vorlent"), std::string::npos);
    }
  }
}

TEST(CliUsage, HelpOfEveryCommand) {
  const char* commands[] = {"new",
                            "show",
                            "add",
                            "remove",
                            "sign",
                            "cosign",
                            "attach-signature",
                            "verify",
                            "encrypt",
                            "decrypt",
                            "extract",
                            "keys list",
                            "keys containers",
                            "keys import-cert",
                            "keys import-chain",
                            "keys new-container",
                            "keys import-key",
                            "keys import-container",
                            "keys link",
                            "sign-file",
                            "check-signature",
                            "download",
                            "cert check",
                            "doctor",
                            "demo"};
  for (const char* command : commands) {
    auto help = Vorlent(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("Использование: vorlent " + std::string(command) + " ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--json"), std::string::npos) << command;
  }
  auto all = Vorlent("--help");
  EXPECT_EQ(all.status, 0);
  for (const char* command : commands)
    EXPECT_NE(all.out.find("  vorlent " + std::string(command) + " "), std::string::npos) << command;
}

}  // namespace
