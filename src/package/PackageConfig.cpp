#include "package/PackageConfig.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Format.h"

namespace qv {

CVorlentPackageConfig::CVorlentPackageConfig() : unpackLimits_(PackageUnpackLimits()) {}

CVorlentPackageConfig::CVorlentPackageConfig(CXMLClass* element, std::uint8_t threadKind,
                                             std::string workFolder)
    : element_(element),
      workFolder_(std::move(workFolder)),
      threadKind_(threadKind),
      unpackLimits_(PackageUnpackLimits()) {}

void CVorlentPackageConfig::Assign(const CVorlentPackageConfig& other) {
  element_ = other.element_;
  workFolder_ = other.workFolder_;
  threadKind_ = other.threadKind_;
  flagUsageUserStorage_ = other.flagUsageUserStorage_;
  unpackLimits_ = other.unpackLimits_;
}

std::string PackageFileShown(const CPackageArchive* archive, const std::string& name) {
  if (!archive || archive->Path().empty()) return name;
  return archive->Path() + "/" + name;
}

std::string ReadPackageFile(const CPackageArchive* archive, const std::string& name) {
  if (!archive) RaiseErrorFmt("Файл не найден: [%s]"_cp, {PackageFileShown(archive, name)});
  return archive->Read(name, PackageFileShown(archive, name));
}

std::string ContentLimitMessage(std::uint64_t limit) {
  return FormatText("Содержимое пакета больше допустимого размера в памяти (%d байт)"_cp,
                    {static_cast<unsigned long long>(limit)});
}

ExtractLimits PackageUnpackLimits() {
  ExtractLimits limits;
  limits.maxTotalSize = kMaxPackageContent;
  limits.overTotal = ContentLimitMessage(kMaxPackageContent);
  return limits;
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

void CheckPackageFileName(const std::string& name) {
  if (!IsPlainFileName(name)) RaiseErrorFmt("Недопустимое имя файла в пакете: [%s]"_cp, {name});
  if (name.size() > kMaxPackageFileName || Cp1251ToUtf8(name).size() > kMaxPackageFileName) {
    RaiseErrorFmt("Имя файла в пакете длиннее %d байт: [%s...]"_cp,
                  {static_cast<int>(kMaxPackageFileName), name.substr(0, 60)});
  }
}

}  // namespace qv
