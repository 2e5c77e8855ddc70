// The registration flow of a client that knows only the public headers and the shared
// library (client/FlowClient.cc): documents made on one side come back byte for byte on
// the other, in the package and on disk.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "qelvorlent/QelVorlentLib.h"

namespace {

using qv::operator""_cp;

TEST(FlowClient, FourDocumentsTravelFromTheSenderToTheReceiver) {
  typedef HRESULT (*RegisterProc)();
  void* handle = dlopen(QV_SERVER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(reinterpret_cast<RegisterProc>(dlsym(handle, "DllRegisterServer"))(), S_OK);
  dlclose(handle);

  std::string output;
  ASSERT_EQ(qvtest::RunCommand(std::string(QV_TEST_FLOW_CLIENT) + " '" + qvtest::TestFolder() + "'", &output),
            0)
      << output;
  EXPECT_EQ(output,
            "create 00000000\n"
            "added ЗаявлениеЮЛ\n"
            "added ПриложенныйДокумент\n"
            "added ПДГоспошлина\n"
            "added ОписьДокументовЮЛ\n"
            "saved -1\n"
            "sender 2BM-7701234567-770101001\n"
            "files 4\n"
            "file 0 заявление.pdf same 00000000\n"
            "file 1 устав.pdf same 00000000\n"
            "file 2 квитанция.pdf same 00000000\n"
            "file 3 опись.xml same 00000000\n"
            "unload 00000000\n"_cp);

  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("out_устав.pdf")), allBytes);
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("out_квитанция.pdf")), std::string("fee\0receipt", 11));
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("out_опись.xml")),
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?><\xEE\xEF\xE8\xF1\xFC/>");
}

}  // namespace
