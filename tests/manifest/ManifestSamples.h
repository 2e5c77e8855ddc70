// Manifests built the way the package container builds them, for the manifest tests.
#pragma once

#include <string>

#include "foundation/CodePage.h"
#include "manifest/XMLGpr.h"
#include "xml/XmlTestUtil.h"

namespace qvtest {

struct FlowSample {
  const char* threadType;
  const char* threadTypeCode;
  const char* transactType;
  const char* transactTypeCode;
};

inline FlowSample LegalEntityFlow() {
  return {"РегистрацияЮЛ", "ЮЛ", "ДокумРегистрацияЮЛ", "01"};
}
inline FlowSample EntrepreneurFlow() {
  return {"РегистрацияИП", "ИП", "ДокумРегистрацияИП", "01"};
}

inline void FillHeader(qv::CXMLGprPackage& p, const FlowSample& flow, bool specialOperator = false) {
  using qv::operator""_cp;
  p.SetThreadType(qv::Utf8ToCp1251(flow.threadType));
  p.SetThreadTypeCode(qv::Utf8ToCp1251(flow.threadTypeCode));
  p.SetTransactType(qv::Utf8ToCp1251(flow.transactType));
  p.SetTransactTypeCode(qv::Utf8ToCp1251(flow.transactTypeCode));
  p.SetProgVersion("QelVorlent");
  p.Sender().SetSubjectIdentifier("1027700132195");
  p.Sender().SetSubjectType(qv::kSubjectApplicant);
  p.Receiver().SetSubjectIdentifier("7746");
  p.Receiver().SetSubjectType(qv::kSubjectTaxAuthority);
  if (specialOperator) {
    p.SpecialOperator().SetSubjectIdentifier("2AL");
    p.SpecialOperator().SetSubjectType(qv::kSubjectSpecialOperator);
  }
}

// A document with content, a source file name and `signatures` document signatures.
inline qv::CXMLGprExtDocument& AddDocument(qv::CXMLGprExtPackage& p, const std::string& code,
                                           const std::string& type, const std::string& source,
                                           int signatures) {
  using qv::operator""_cp;
  auto& d = static_cast<qv::CXMLGprExtDocument&>(*p.Documents().AddDocument());
  d.SetDocumentTypeCode(code);
  d.SetDocumentType(type);
  d.SetContentType("application/pdf");
  d.SetCompressed(false);
  d.SetEncrypted(true);
  d.SetSourceFileName(source);
  d.SetFileName(type + "_" + code + ".pdf");
  for (int i = 1; i <= signatures; ++i) {
    qv::CXMLGprExtSignature* s = d.ExtSignatures().AddExtSignature();
    s->SetFileName(type + "_" + code + ".pdf." + std::to_string(i) + ".p7s");
    s->SetRole(i == 1 ? qv::kSubjectApplicant : qv::kSubjectNotary);
  }
  return d;
}

}  // namespace qvtest
