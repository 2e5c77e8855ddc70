// The registry of the in-process server: a text file holding what the system registry
// holds on Windows (class identifiers with their server path, threading model and
// programmatic identifier; programmatic identifiers; the type library; interfaces).
//
// The user's file is QELVORLENT_REGISTRY, or ${XDG_CONFIG_HOME:-~/.config}/qelvorlent/registry;
// the machine's file, filled by an installed package, is QELVORLENT_MACHINE_REGISTRY, or
// /etc/qelvorlent/registry. A lookup reads the user's file first, then the machine's.
// It is UTF-8 text: a header line, then per key a line "[key]" followed by its values,
// one "name=value" line each ("@" is the key's default value). Keys are paths with "\"
// between their parts and compare case-insensitively, as do value names. A value's
// backslash, carriage return and line feed are written as "\\", "\r" and "\n".
// Every change is written atomically (a temporary file renamed over the old one) under
// an exclusive lock on the folder; a registry without keys removes its file.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qv {

class CRegistry {
 public:
  struct Value {
    std::string name;
    std::string data;
  };
  struct Key {
    std::string path;
    std::vector<Value> values;
  };

  // The user's registry file's path (1251).
  static std::string FileName();
  // The machine registry file's path (1251).
  static std::string MachineFileName();

  // Reads the file; a missing file is an empty registry.
  void Load(const std::string& fileName);
  // Writes the file atomically, or removes it when there are no keys.
  void Save(const std::string& fileName) const;

  // Loads the registry file, lets `change` edit it and saves it, all under the lock; a
  // missing folder is made (the machine's readable by everyone, the user's private).
  static void Update(const std::string& fileName, const std::function<void(CRegistry&)>& change);
  // The same on the user's file.
  static void Update(const std::function<void(CRegistry&)>& change);
  // One value: the user's file when it has the value, else the machine's; false when
  // neither has it. `fromMachine`, when given, tells which file answered.
  static bool Read(const std::string& key, const std::string& name, std::string& data,
                   bool* fromMachine = nullptr);

  bool GetValue(const std::string& key, const std::string& name, std::string& data) const;
  // Creates the key when needed; "@" or an empty name is the default value.
  void SetValue(const std::string& key, const std::string& name, const std::string& data);
  bool KeyExists(const std::string& key) const;
  // Removes the key and every key below it.
  void DeleteKeyTree(const std::string& key);

  const std::vector<Key>& Keys() const { return keys_; }
  // The file's text.
  std::string Text() const;
  void Parse(const std::string& text);

 private:
  Key* FindKey(const std::string& path);
  const Key* FindKey(const std::string& path) const;

  std::vector<Key> keys_;
};

}  // namespace qv
