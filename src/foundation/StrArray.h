// The library's keyed list: entries that pair a 1251 key with an object, kept in
// insertion order or sorted by key or by object, with duplicate and ownership policies.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class CStrArray {
 public:
  enum IndexMode : std::uint8_t { kIndexNone = 0, kIndexByKey = 1, kIndexByObject = 2 };
  enum CompareMode : std::uint8_t {
    kCompareNoCase = 0,
    kCompareCase = 1,
    kCompareLocaleNoCase = 2,
    kCompareLocale = 3
  };
  enum DuplicatePolicy : std::uint8_t { kDuplicateAccept = 0, kDuplicateIgnore = 1, kDuplicateError = 2 };
  // What happens to an entry's object when the entry is deleted, overwritten or cleared.
  // kOwnDestroy destroys the object through DestroyObject (by default as a CBaseClass),
  // kOwnFree frees its memory block with std::free, kOwnRelease calls ReleaseObject.
  enum Ownership : std::uint8_t { kOwnNone = 0, kOwnDestroy = 1, kOwnFree = 2, kOwnRelease = 3 };

  static constexpr int kMaxCount = 134217728;  // 2^27

  using ObjectCompare = std::function<int(const void* a, const void* b)>;
  using DeleteCallback = std::function<void(void* object, int index)>;

  CStrArray();
  virtual ~CStrArray();
  CStrArray(const CStrArray&) = delete;
  CStrArray& operator=(const CStrArray&) = delete;

  char NameValueSeparator = '=';
  DeleteCallback OnDelete;

  int Count() const { return count_; }
  int Capacity() const { return static_cast<int>(entries_.size()); }
  int InsertionPoint() const { return insertionPoint_; }

  IndexMode GetIndexMode() const { return indexMode_; }
  void SetIndexMode(IndexMode mode) { indexMode_ = mode; }
  CompareMode GetCompareMode() const { return compareMode_; }
  void SetCompareMode(CompareMode mode) { compareMode_ = mode; }
  DuplicatePolicy GetDuplicatePolicy() const { return duplicatePolicy_; }
  void SetDuplicatePolicy(DuplicatePolicy policy) { duplicatePolicy_ = policy; }
  Ownership GetOwnership() const { return ownership_; }
  void SetOwnership(Ownership ownership) { ownership_ = ownership; }
  void SetObjectCompare(ObjectCompare compare) { objectCompare_ = std::move(compare); }

  int Add(const std::string& key, void* object);
  int AddKey(const std::string& key);
  void Insert(int index, const std::string& key);
  void Delete(int index);
  void Clear();
  void SetCount(int count);
  void SetCapacity(int capacity);

  // The index is not checked: callers check it first.
  const std::string& Key(int index) const { return entries_[static_cast<std::size_t>(index)].key; }
  void SetKey(int index, const std::string& key) { entries_[static_cast<std::size_t>(index)].key = key; }
  void* Object(int index) const { return entries_[static_cast<std::size_t>(index)].object; }
  virtual void SetObject(int index, void* object);

  bool Find(const std::string& key, int& index);
  bool FindObject(const void* object, int& index);
  int IndexOf(const std::string& key);
  int IndexOfName(const std::string& name) const;
  std::string ValueOf(const std::string& name) const;
  std::string ValueAt(int index) const;

  std::string GetText() const;
  std::string Join(const std::string& separator) const;
  // Writes GetText() into `stream` at `position` (a memory stream) and advances it; with
  // `truncate`, a longer stream is first cut to the text's length.
  virtual void SaveToStream(std::string& stream, std::size_t& position, bool truncate) const;
  virtual void SaveToFile(const std::string& fileName) const;

  int CompareKeys(std::string_view a, std::string_view b) const;

 protected:
  virtual void Grow();
  virtual void DestroyObject(void* object);
  virtual void ReleaseObject(void* object);

 private:
  struct Entry {
    std::string key;
    void* object = nullptr;
  };

  void ReleaseEntryObject(int index);
  int CompareObjects(const void* a, const void* b) const;
  template <class Compare>
  int Search(Compare compare);
  int SearchKey(const std::string& key);
  int SearchObject(const void* object);
  int InsertEntry(int index, const std::string& key, void* object);
  int AddSorted(int found, const std::string& key, void* object, const std::string& duplicateText);

  std::vector<Entry> entries_;  // Capacity() slots; the first count_ are in use
  int count_ = 0;
  int insertionPoint_ = 0;
  IndexMode indexMode_ = kIndexNone;
  CompareMode compareMode_ = kCompareNoCase;
  DuplicatePolicy duplicatePolicy_ = kDuplicateAccept;
  Ownership ownership_ = kOwnNone;
  ObjectCompare objectCompare_;
};

}  // namespace qv
