#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <unordered_map>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"

namespace qv {

namespace {

const char kHeader[] = "QelVorlent registry 1";
const char kMachineFile[] = "/etc/qelvorlent/registry";

std::string NormalName(const std::string& name) {
  return name.empty() ? "@" : name;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::string FolderOf(const std::string& fileName) {
  std::size_t slash = fileName.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : fileName.substr(0, slash);
}

// The form of a key path or value name under which case-insensitive lookups find it.
std::string Folded(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(Cp1251Upper(static_cast<unsigned char>(c)));
  return out;
}

void CheckNames(const std::string& key, const std::string& name) {
  if (key.empty() || key.find_first_of("\r\n") != std::string::npos ||
      name.find_first_of("=\r\n") != std::string::npos) {
    RaiseErrorFmt("Недопустимое имя в реестре: [%s] %s"_cp, {key, name});
  }
}

[[noreturn]] void RaiseWrite(const std::string& fileName, int code) {
  RaiseErrorFmt("Не удалось записать реестр [%s]: %s"_cp, {fileName, SystemErrorText(code)});
}

}  // namespace

std::string CRegistry::FileName() {
  std::string name = GetEnvironmentText("QELVORLENT_REGISTRY");
  if (!name.empty()) return name;
  std::string config = GetEnvironmentText("XDG_CONFIG_HOME");
  if (config.empty()) {
    std::string home = GetEnvironmentText("HOME");
    if (home.empty()) RaiseError("Не задана папка пользователя (HOME) для файла реестра"_cp);
    config = CombinePath(home, ".config");
  }
  return CombinePath(CombinePath(config, "qelvorlent"), "registry");
}

std::string CRegistry::MachineFileName() {
  std::string name = GetEnvironmentText("QELVORLENT_MACHINE_REGISTRY");
  return name.empty() ? std::string(kMachineFile) : name;
}

CRegistry::Key* CRegistry::FindKey(const std::string& path) {
  for (Key& key : keys_) {
    if (SameText(key.path, path)) return &key;
  }
  return nullptr;
}

const CRegistry::Key* CRegistry::FindKey(const std::string& path) const {
  for (const Key& key : keys_) {
    if (SameText(key.path, path)) return &key;
  }
  return nullptr;
}

bool CRegistry::GetValue(const std::string& key, const std::string& name, std::string& data) const {
  const Key* found = FindKey(key);
  if (!found) return false;
  for (const Value& value : found->values) {
    if (SameText(value.name, NormalName(name))) {
      data = value.data;
      return true;
    }
  }
  return false;
}

void CRegistry::SetValue(const std::string& key, const std::string& name, const std::string& data) {
  CheckNames(key, name);
  Key* found = FindKey(key);
  if (!found) {
    keys_.push_back(Key{key, {}});
    found = &keys_.back();
  }
  for (Value& value : found->values) {
    if (SameText(value.name, NormalName(name))) {
      value.data = data;
      return;
    }
  }
  found->values.push_back(Value{NormalName(name), data});
}

bool CRegistry::KeyExists(const std::string& key) const {
  return FindKey(key) != nullptr;
}

void CRegistry::DeleteKeyTree(const std::string& key) {
  std::string prefix = key + "\\";
  std::vector<Key> kept;
  for (Key& item : keys_) {
    bool below = item.path.size() > prefix.size() && SameText(item.path.substr(0, prefix.size()), prefix);
    if (!SameText(item.path, key) && !below) kept.push_back(std::move(item));
  }
  keys_ = std::move(kept);
}

std::string CRegistry::Text() const {
  std::string text = std::string(kHeader) + "\n";
  for (const Key& key : keys_) {
    text += "\n[" + Cp1251ToUtf8(key.path) + "]\n";
    for (const Value& value : key.values) {
      text += Cp1251ToUtf8(value.name) + "=" + Cp1251ToUtf8(Escape(value.data)) + "\n";
    }
  }
  return text;
}

void CRegistry::Parse(const std::string& text) {
  keys_.clear();
  // Keys and values are found through indexes by folded name, so that reading takes time in
  // proportion to the file, however many keys it holds.
  std::unordered_map<std::string, std::size_t> keyIndex;
  std::vector<std::unordered_map<std::string, std::size_t>> valueIndex;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t current = kNone;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Utf8ToCp1251(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line == kHeader || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      std::string path = line.substr(1, line.size() - 2);
      if (path.empty()) {
        current = kNone;  // values up to the next key are skipped
        continue;
      }
      auto [found, added] = keyIndex.emplace(Folded(path), keys_.size());
      if (added) {
        keys_.push_back(Key{path, {}});
        valueIndex.emplace_back();
      }
      current = found->second;
      continue;
    }
    std::size_t equal = line.find('=');
    if (current == kNone || equal == std::string::npos) continue;  // not understood: skipped
    Key& key = keys_[current];
    std::string name = NormalName(line.substr(0, equal));
    CheckNames(key.path, name);
    std::string data = Unescape(line.substr(equal + 1));
    auto [found, added] = valueIndex[current].emplace(Folded(name), key.values.size());
    if (added) {
      key.values.push_back(Value{name, std::move(data)});
    } else {
      key.values[found->second].data = std::move(data);
    }
  }
}

void CRegistry::Load(const std::string& fileName) {
  keys_.clear();
  struct stat info {};
  if (stat(SysPath(fileName).c_str(), &info) != 0) {
    if (errno == ENOENT) return;
    RaiseErrorFmt("Не удалось прочитать реестр [%s]: %s"_cp, {fileName, SystemErrorText(errno)});
  }
  Parse(ReadRegularFile(fileName, kMaxRegistryFile));
}

void CRegistry::Save(const std::string& fileName) const {
  std::string path = SysPath(fileName);
  if (keys_.empty()) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) RaiseWrite(fileName, errno);
    return;
  }
  std::string folder = FolderOf(fileName);
  if (!ForceDirectories(folder, 0700)) RaiseWrite(fileName, errno ? errno : EACCES);
  try {
    ReplaceFileAtomically(fileName, Text(), 0644);
  } catch (const COSException& e) {
    RaiseWrite(fileName, e.Code());
  }
}

void CRegistry::Update(const std::function<void(CRegistry&)>& change) {
  Update(FileName(), change);
}

void CRegistry::Update(const std::string& fileName, const std::function<void(CRegistry&)>& change) {
  std::string folder = FolderOf(fileName);
  // every user reads the machine's file; the user's stays private
  unsigned mode = fileName == MachineFileName() ? 0755 : 0700;
  if (!ForceDirectories(folder, mode)) RaiseWrite(fileName, errno ? errno : EACCES);
  // Writers take turns on the folder, so that no change is lost.
  CFileHandle lock(open(SysPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.Get() < 0) RaiseWrite(fileName, errno);
  while (flock(lock.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) RaiseWrite(fileName, errno);
  }
  RemoveStaleTemporaries(folder, {kTemporaryNamePattern});
  CRegistry registry;
  registry.Load(fileName);
  change(registry);
  registry.Save(fileName);
}

bool CRegistry::Read(const std::string& key, const std::string& name, std::string& data, bool* fromMachine) {
  CRegistry registry;
  registry.Load(FileName());
  if (fromMachine) *fromMachine = false;
  if (registry.GetValue(key, name, data)) return true;
  registry.Load(MachineFileName());
  if (fromMachine) *fromMachine = true;
  return registry.GetValue(key, name, data);
}

}  // namespace qv
