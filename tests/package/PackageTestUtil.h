// Helpers of the package tests: archives made and read by Python's zipfile, an
// implementation independent of ours, and a filled package.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "package/VorlentDoc.h"

namespace pkgtest {

struct Member {
  std::string name;    // UTF-8
  std::string bytes;   // as stored
  bool store = false;  // Store instead of Deflate
  bool link = false;   // marked as a symbolic link whose target is `bytes`
};

// Writes an archive with Python's zipfile; names are written as given (UTF-8 flag when not ASCII).
void MakeZip(const std::string& utf8Path, const std::vector<Member>& members);
// The archive's entry names, sorted, comma-separated, as Python reads them.
std::string ZipNames(const std::string& utf8Path);
// One entry's bytes as Python reads them (its CRC checked).
std::string ZipRead(const std::string& utf8Path, const std::string& name);

// A manifest of a legal entity's registration with the given "документ" elements (UTF-8).
std::string Manifest(const std::string& documents, const std::string& encoding = "windows-1251");
// A "документ" element (UTF-8); `inner` goes inside it.
std::string DocumentElement(const std::string& code, const std::string& type, const std::string& id,
                            const std::string& inner, bool compressed = false);

// New package of a legal entity's registration with sender and receiver set.
void NewRegistration(qv::CVorlentDoc& doc);
// Adds an application with the given source name and content.
std::shared_ptr<qv::CVorlentDocument> AddApplication(qv::CVorlentDoc& doc, const std::string& source,
                                                     const std::string& content);
// The message of what `body` raises, as UTF-8; "<no error>" when it returns.
template <class F>
std::string ErrorOf(F&& body) {
  try {
    body();
  } catch (const qv::CVorlentException& e) {
    return qv::Cp1251ToUtf8(e.Message());
  }
  return "<no error>";
}

}  // namespace pkgtest
