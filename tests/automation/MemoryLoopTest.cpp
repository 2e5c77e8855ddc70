// Ten thousand rounds of making and releasing package, file, signature and key objects and
// of calls that fail, and ten thousand cycles of a signed package (new, add, sign, save,
// open, verify, close), through the interfaces a client uses: no object outlives its last
// reference and the heap in use stays flat. The sanitizer build checks the same loop for
// leaks with LeakSanitizer at the end of the run; there the heap figures are the
// sanitizer's own and are not compared.
#include <malloc.h>

#include <gtest/gtest.h>

#include "automation/AutoObject.h"
#include "automation/Conversions.h"
#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoUtils.h"
#include "package/VorlentDoc.h"
#include "package/VorlentKey.h"

namespace {

using namespace qvtest;

// Runs `round` `warmUp` times, then `rounds` times more: afterwards the library holds as many
// objects as before, and outside the sanitizer build the heap in use has grown by less than a
// megabyte (100 bytes lost in each of ten thousand rounds would show).
template <class Round>
void ExpectFlat(int warmUp, int rounds, Round round) {
  for (int i = 0; i < warmUp; ++i) {
    round(i);
    if (::testing::Test::HasFailure()) return;
  }
  const long objects = qv::ModuleObjectCount();
  const std::size_t before = mallinfo2().uordblks;
  for (int i = 0; i < rounds; ++i) {
    round(i);
    if (::testing::Test::HasFailure()) return;
  }
  EXPECT_EQ(qv::ModuleObjectCount(), objects);
  const std::size_t after = mallinfo2().uordblks;
  ::testing::Test::RecordProperty("heap_before", std::to_string(before));
  ::testing::Test::RecordProperty("heap_after", std::to_string(after));
  if (!kSanitized) {
    EXPECT_LT(after, before + (1u << 20)) << "heap in use grew from " << before << " to " << after;
  }
}

class MemoryLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    signedPath_ = Path1251("signed.zip");
    MakeSignedPackage(TestPath("signed.zip"), std::string(3000, 'c'), "first signature");
    opened_ = NewVorlent();
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(opened_->Open(B(signedPath_), &ok), S_OK) << LastError(opened_.Get());
  }

  // One round: a new package object with a document, views of the opened package, a key
  // object, and calls that fail in the member and in the dispatcher.
  void Round(int i) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    {
      Ref<IVorlent> vorlent = NewVorlent();
      ASSERT_EQ(vorlent->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
      vorlent->put_SenderType(SIGN_ROLE_TYPE_ABONENT);
      vorlent->put_SenderIdentifier(B("1"));
      vorlent->put_ReceiverType(SIGN_ROLE_TYPE_FNS);
      vorlent->put_ReceiverIdentifier(B("2"));
      Ref<IVorlentFile> file;
      ASSERT_EQ(vorlent->AddFile(B(""), B("01"), B("application/pdf"), B("a.pdf"), B("content"), file.Out()),
                S_OK)
          << LastError(vorlent.Get());
      EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent), "content");
      // Failing members: an index out of range, a view of a deleted entry, a missing package.
      Ref<IVorlentFile> none;
      EXPECT_EQ(vorlent->GetFile(7, none.Out()), E_UNEXPECTED);
      EXPECT_FALSE(LastError(vorlent.Get()).empty());
      ASSERT_EQ(vorlent->DeleteFile(0, &ok), S_OK);
      EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_Filename), "<failed>");
      if (i % 50 == 0) {
        // Now and then the whole way: save, open again, and an open that fails.
        ASSERT_EQ(vorlent->AddFile(B(""), B("01"), B("application/pdf"), B("b.pdf"), B("other"), file.Out()),
                  S_OK);
        std::string saved = Path1251("round.zip");
        ASSERT_EQ(vorlent->Save(B(saved), &ok), S_OK) << LastError(vorlent.Get());
        ASSERT_EQ(vorlent->Open(B(saved), &ok), S_OK) << LastError(vorlent.Get());
        EXPECT_EQ(vorlent->Open(B(Path1251("missing.zip")), &ok), E_UNEXPECTED);
      }
      // A late-bound call whose argument does not convert, and one whose member fails.
      Late late;
      CallByName(vorlent.Get(), u"GetFile", DISPATCH_METHOD, Args().Str("x"), late);
      EXPECT_EQ(late.hr, DISP_E_TYPEMISMATCH);
      Late failing;
      CallByName(vorlent.Get(), u"GetFile", DISPATCH_METHOD, Args().Int(9), failing);
      EXPECT_EQ(failing.hr, DISP_E_EXCEPTION);
    }
    {
      Ref<IVorlentFile> file;
      ASSERT_EQ(opened_->GetFile(0, file.Out()), S_OK);
      Ref<IVorlentSignature> sign;
      ASSERT_EQ(opened_->GetFileSignature(0, 0, sign.Out()), S_OK) << LastError(opened_.Get());
      EXPECT_EQ(Text(sign.Get(), &IVorlentSignature::get_SignatureContent), "first signature");
      Ref<IVorlentKey> key;
      sign->get_SignKey(key.Out());
      Ref<IVorlentSignature> resign;
      ASSERT_EQ(opened_->GetFileResign(0, 0, 0, resign.Out()), S_OK);
      Ref<IVorlentSignature> missing;
      EXPECT_EQ(opened_->GetFileSignature(0, 9, missing.Out()), E_UNEXPECTED);
      EXPECT_EQ(file->AddSign(B("not a signature"), SIGN_ROLE_TYPE_APPLICANT, &ok), E_UNEXPECTED);
    }
    {
      Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
      EXPECT_EQ(key->put_CertificateBody(B("not a certificate")), S_OK);
      EXPECT_EQ(key->put_SubjectCN(B("Иванов")), S_OK);
      EXPECT_TRUE(FAILED(key->Init()));
      EXPECT_FALSE(Text(key.Get(), &IVorlentKey::get_LastError).empty());
    }
    // The thread's error information of the last failure is an object of the library too.
    SetErrorInfo(0, nullptr);
  }

  std::string signedPath_;
  Ref<IVorlent> opened_;
};

TEST_F(MemoryLoop, TenThousandRoundsLeaveNoObjectAndNoGrowth) {
  ExpectFlat(200, 10000, [this](int i) { Round(i); });
  opened_.Reset();
  EXPECT_EQ(qv::ModuleObjectCount(), 0);
}

// A whole cycle of a signed package per round, with a key bound in "MY" of a test PKI.
class SignedCycleLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    using U = qv::CCryptoAPI20Utils;
    const std::string pki = TestPath("loop-pki");
    std::string output;
    // Port 1: nothing answers there, and the cycle downloads nothing.
    ASSERT_EQ(RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/keys/make-package-pki.sh' '" + pki +
                             "' 1 2>&1",
                         &output),
              0)
        << output;
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreRoot, {},
                  U::CertificateFromText(ReadBytes(pki + "/root.cer")));
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreCA, {},
                  U::CertificateFromText(ReadBytes(pki + "/inter.cer")));
    qv::CertContextPtr cert =
        BindKey("applicant", ReadBytes(pki + "/applicant.key"), ReadBytes(pki + "/applicant.pem"));
    qv::CVorlentKey record;
    record.FillFromCertificate(cert);
    key_ = Ref<IVorlentKey>(qv::KeyToInterface(&record));
    ASSERT_EQ(key_->put_SignRole(SIGN_ROLE_TYPE_APPLICANT), S_OK);
    path_ = Path1251("cycle.zip");
  }

  void Cycle(int i) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    const std::string content = "application " + std::to_string(i);
    {
      Ref<IVorlent> sender = NewVorlent();
      ASSERT_EQ(sender->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
      sender->put_SenderType(SIGN_ROLE_TYPE_ABONENT);
      sender->put_SenderIdentifier(B("7701"));
      sender->put_ReceiverType(SIGN_ROLE_TYPE_FNS);
      sender->put_ReceiverIdentifier(B("7746"));
      Ref<IVorlentFile> file;
      ASSERT_EQ(sender->AddFile(B(""), B("01"), B("application/pdf"), B("a.pdf"), B(content), file.Out()),
                S_OK)
          << LastError(sender.Get());
      ASSERT_EQ(sender->SignFile(B("a.pdf"), key_.Get(), &ok), S_OK) << LastError(sender.Get());
      ASSERT_EQ(sender->Save(B(path_), &ok), S_OK) << LastError(sender.Get());
    }
    Ref<IVorlent> receiver = NewVorlent();
    ASSERT_EQ(receiver->Open(B(path_), &ok), S_OK) << LastError(receiver.Get());
    Ref<IVorlentFile> file;
    ASSERT_EQ(receiver->GetFile(0, file.Out()), S_OK);
    EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent), content);
    ASSERT_EQ(file->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &ok), S_OK) << LastError(file.Get());
    EXPECT_EQ(ok, VARIANT_TRUE);
    ASSERT_EQ(receiver->Close(&ok), S_OK);
    SetErrorInfo(0, nullptr);
  }

  Ref<IVorlentKey> key_;
  std::string path_;
};

TEST_F(SignedCycleLoop, TenThousandSignedCyclesLeaveNoObjectAndNoGrowth) {
  // The sanitizer build runs a tenth of the cycles: there the point is the leak check.
  ExpectFlat(100, kSanitized ? 1000 : 10000, [this](int i) { Cycle(i); });
  key_.Reset();
  EXPECT_EQ(qv::ModuleObjectCount(), 0);
}

}  // namespace
