#include "PackageTestUtil.h"

#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "manifest/SubjectTypes.h"

using qvtest::RunCommand;
using qvtest::TestPath;

namespace pkgtest {

void MakeZip(const std::string& utf8Path, const std::vector<Member>& members) {
  std::string listing;
  for (std::size_t i = 0; i < members.size(); ++i) {
    std::string data = TestPath("member" + std::to_string(i));
    qvtest::WriteBytes(data, members[i].bytes);
    listing += members[i].name + "\n" + data + "\n" +
               (members[i].link    ? "link"
                : members[i].store ? "store"
                                   : "deflate") +
               "\n";
  }
  qvtest::WriteBytes(TestPath("members.txt"), listing);
  qvtest::WriteBytes(TestPath("makezip.py"),
                     "import sys, zipfile\n"
                     "lines = open(sys.argv[2], encoding='utf-8').read().split('\\n')\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                     "    for i in range(0, len(lines) - 2, 3):\n"
                     "        info = zipfile.ZipInfo(lines[i], (2024, 1, 1, 0, 0, 0))\n"
                     "        info.compress_type = zipfile.ZIP_DEFLATED if lines[i+2] == 'deflate' "
                     "else zipfile.ZIP_STORED\n"
                     "        if lines[i+2] == 'link':\n"
                     "            info.create_system = 3\n"
                     "            info.external_attr = 0o120777 << 16\n"
                     "        z.writestr(info, open(lines[i+1], 'rb').read())\n");
  ASSERT_EQ(RunCommand("python3 '" + TestPath("makezip.py") + "' '" + utf8Path + "' '" +
                       TestPath("members.txt") + "'"),
            0);
}

std::string ZipNames(const std::string& utf8Path) {
  std::string out;
  RunCommand(
      "python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
      "print(','.join(sorted(i.filename for i in z.infolist())), end='')\" '" +
          utf8Path + "'",
      &out);
  return out;
}

std::string ZipRead(const std::string& utf8Path, const std::string& name) {
  qvtest::WriteBytes(TestPath("zipread.py"),
                     "import sys, zipfile\n"
                     "z = zipfile.ZipFile(sys.argv[1])\n"
                     "open(sys.argv[3], 'wb').write(z.read(sys.argv[2]))\n");
  std::string out = TestPath("zipread.out");
  std::remove(out.c_str());
  if (RunCommand("python3 '" + TestPath("zipread.py") + "' '" + utf8Path + "' '" + name + "' '" + out +
                 "'") != 0)
    return "<unreadable>";
  return qvtest::ReadBytes(out);
}

std::string Manifest(const std::string& documents, const std::string& encoding) {
  return "<?xml version=\"1.0\" encoding=\"" + encoding +
         "\"?>\n"
         "<ТрансИнф версияФормата=\"ФНС:1.0\" кодТипаДокументооборота=\"ЮЛ\" "
         "типДокументооборота=\"РегистрацияЮЛ\" кодТипаТранзакции=\"01\" "
         "типТранзакции=\"ДокумРегистрацияЮЛ\" "
         "идентификаторДокументооборота=\"00112233445566778899aabbccddeeff\" ВерсПрог=\"Другая программа\">\n"
         "<отправитель идентификаторСубъекта=\"7701234567\" типСубъекта=\"абонент\"/>\n"
         "<получатель идентификаторСубъекта=\"7746\" типСубъекта=\"налоговыйОрган\"/>\n" +
         documents + "</ТрансИнф>\n";
}

std::string DocumentElement(const std::string& code, const std::string& type, const std::string& id,
                            const std::string& inner, bool compressed) {
  return "<документ кодТипаДокумента=\"" + code + "\" типДокумента=\"" + type +
         "\" типСодержимого=\"application/pdf\" сжат=\"" + (compressed ? "true" : "false") +
         "\" зашифрован=\"false\" идентификаторДокумента=\"" + id + "\">" + inner + "</документ>\n";
}

void NewRegistration(qv::CVorlentDoc& doc) {
  doc.New();
  doc.SetTransactionType(5);  // "ДокумРегистрацияЮЛ" of legal entities
  doc.SetSenderType(qv::kSubjectSubscriberOther);
  doc.SetSenderIdentifier("7701234567");
  doc.SetReceiverType(qv::kSubjectTaxAuthority);
  doc.SetReceiverIdentifier("7746");
}

std::shared_ptr<qv::CVorlentDocument> AddApplication(qv::CVorlentDoc& doc, const std::string& source,
                                                     const std::string& content) {
  auto entry = doc.AddDocument();
  entry->SetKind(17);  // "ЗаявлениеЮЛ"
  entry->SetContentType("application/pdf");
  entry->SetSourceFileName(qv::Utf8ToCp1251(source));
  entry->SetContent(content);
  return entry;
}

}  // namespace pkgtest
