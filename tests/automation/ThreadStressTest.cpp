// Under load in one process: threads that each run the whole registration flow with objects of
// their own (new package, add, sign, counter-sign, encrypt, save, open, decrypt, verify), many
// times over, and every result comes out right. Built with ThreadSanitizer (`make test-tsan`)
// this is also the race check of the library's shared state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "automation/Conversions.h"
#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoUtils.h"

namespace {

using namespace qvtest;
using U = qv::CCryptoAPI20Utils;

// The environment may change the counts: QV_STRESS_ROUNDS lowers the rounds where every step
// is many times slower (ThreadSanitizer), QV_STRESS_THREADS sets the threads (the benchmark's
// throughput rows).
int Count(const char* name, int otherwise) {
  const char* value = std::getenv(name);
  return value && std::atoi(value) > 0 ? std::atoi(value) : otherwise;
}

struct Thumbprints {
  std::string applicant, notary, tax;
};

// A key object of this thread for the certificate with thumbprint `sha1`.
Ref<IVorlentKey> KeyBySha1(const std::string& sha1, SIGN_ROLE_TYPES role) {
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  key->put_Sha1(B(sha1));
  key->put_SignRole(role);
  return key;
}

#define FLOW_STEP(call, object) \
  if ((call) != S_OK) return std::string(#call) + ": " + qv::Cp1251ToUtf8(LastError(object))

// One whole flow; the failure's description, empty when every step gave the right result.
std::string Flow(const Thumbprints& sha1, int thread, int round) {
  Ref<IVorlentKey> applicant = KeyBySha1(sha1.applicant, SIGN_ROLE_TYPE_APPLICANT);
  Ref<IVorlentKey> notary = KeyBySha1(sha1.notary, SIGN_ROLE_TYPE_NOTARY);
  Ref<IVorlentKey> tax = KeyBySha1(sha1.tax, SIGN_ROLE_TYPE_FNS);
  const std::string content =
      "document " + std::to_string(thread) + "/" + std::to_string(round) +
      std::string(static_cast<std::size_t>(round) * 37, static_cast<char>('a' + thread));
  Ref<IVorlent> sender = NewVorlent();
  VARIANT_BOOL ok = VARIANT_FALSE;
  FLOW_STEP(sender->New(TRANSACTION_TYPE_UL_REG_UL, &ok), sender.Get());
  FLOW_STEP(sender->put_SenderType(SIGN_ROLE_TYPE_ABONENT), sender.Get());
  FLOW_STEP(sender->put_SenderIdentifier(B("7701")), sender.Get());
  FLOW_STEP(sender->put_ReceiverType(SIGN_ROLE_TYPE_FNS), sender.Get());
  FLOW_STEP(sender->put_ReceiverIdentifier(B("7746")), sender.Get());
  Ref<IVorlentFile> added;
  FLOW_STEP(sender->AddFile(B(""), B("01"), B("application/pdf"), B("a.pdf"), B(content), added.Out()),
            sender.Get());
  FLOW_STEP(sender->SignFile(B("a.pdf"), applicant.Get(), &ok), sender.Get());
  FLOW_STEP(sender->ReSignFile(B("a.pdf"), notary.Get(), &ok), sender.Get());
  FLOW_STEP(sender->Encrypt(tax.Get(), &ok), sender.Get());
  const std::string path = Path1251("flow-" + std::to_string(thread) + ".zip");
  FLOW_STEP(sender->Save(B(path), &ok), sender.Get());

  Ref<IVorlent> receiver = NewVorlent();
  FLOW_STEP(receiver->Open(B(path), &ok), receiver.Get());
  FLOW_STEP(receiver->Decrypt(&ok), receiver.Get());
  Ref<IVorlentFile> file;
  FLOW_STEP(receiver->GetFile(0, file.Out()), receiver.Get());
  if (Text(file.Get(), &IVorlentFile::get_RawContent) != content) return "decrypted content differs";
  ok = VARIANT_FALSE;
  FLOW_STEP(file->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &ok), file.Get());
  if (ok != VARIANT_TRUE) return "signature check gave false";
  LONG counterSignatures = 0;
  FLOW_STEP(receiver->GetFileResignCount(0, 0, &counterSignatures), receiver.Get());
  if (counterSignatures != 1) return "counter-signatures: " + std::to_string(counterSignatures);
  return {};
}

}  // namespace

TEST(ThreadStress, FourThreadsRunTheWholeFlowWithTheirOwnObjects) {
  const std::string pki = TestPath("stress-pki");
  std::string output;
  // Port 1: nothing answers there, so nothing is fetched from outside.
  ASSERT_EQ(RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/keys/make-package-pki.sh' '" + pki +
                           "' 1 2>&1",
                       &output),
            0)
      << output;
  auto file = [&](const std::string& name) { return ReadBytes(pki + "/" + name); };
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreRoot, {}, U::CertificateFromText(file("root.cer")));
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreCA, {}, U::CertificateFromText(file("inter.cer")));
  // The recipient's certificate, for encryption.
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreAddressBook, {},
                U::CertificateFromText(file("tax.cer")));
  Thumbprints sha1;
  sha1.applicant = BindKey("applicant", file("applicant.key"), file("applicant.pem"))->Sha1Text();
  sha1.notary = BindKey("notary", file("notary.key"), file("notary.pem"))->Sha1Text();
  sha1.tax = BindKey("tax", file("tax.key"), file("tax.pem"))->Sha1Text();

  const int rounds = Count("QV_STRESS_ROUNDS", 200);
  const int count = Count("QV_STRESS_THREADS", 4);
  std::vector<std::string> failures(count);
  std::vector<int> done(count, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < rounds && failures[t].empty(); ++round) {
        failures[t] = Flow(sha1, t, round);
        if (failures[t].empty()) ++done[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < count; ++t) {
    EXPECT_EQ(failures[t], "") << "thread " << t << ", round " << done[t];
    EXPECT_EQ(done[t], rounds) << "thread " << t;
  }
}
