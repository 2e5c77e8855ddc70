#include "foundation/StrArray.h"

#include <cstdlib>
#include <functional>

#include "foundation/BaseClass.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"

namespace qv {
namespace {

// The system locale's order for 1251 text: letters by their place in the alphabet
// (their UTF-16 values), not by their byte values, so "Ё" sorts among the letters.
int CompareLocale(std::string_view a, std::string_view b, bool ignoreCase) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (ignoreCase) x = Cp1251Upper(x), y = Cp1251Upper(y);
    char16_t u = Cp1251CharToUtf16(x);
    char16_t v = Cp1251CharToUtf16(y);
    // Ё and ё belong right after Е and е
    auto weight = [](char16_t c) -> double {
      if (c == 0x0401) return 0x0415 + 0.5;
      if (c == 0x0451) return 0x0435 + 0.5;
      return c;
    };
    if (weight(u) != weight(v)) return weight(u) < weight(v) ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

CStrArray::CStrArray() = default;

CStrArray::~CStrArray() {
  try {
    Clear();
  } catch (...) {
  }
}

int CStrArray::CompareKeys(std::string_view a, std::string_view b) const {
  switch (compareMode_) {
    case kCompareCase: {
      int r = a.compare(b);
      return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    case kCompareLocaleNoCase:
      return CompareLocale(a, b, true);
    case kCompareLocale:
      return CompareLocale(a, b, false);
    case kCompareNoCase:
    default:
      return CompareTextNoCase(a, b);
  }
}

int CStrArray::CompareObjects(const void* a, const void* b) const {
  if (objectCompare_) return objectCompare_(a, b);
  if (std::less<const void*>()(a, b)) return -1;
  return std::less<const void*>()(b, a) ? 1 : 0;
}

void CStrArray::DestroyObject(void* object) {
  delete static_cast<CBaseClass*>(object);
}

void CStrArray::ReleaseObject(void*) {}

void CStrArray::ReleaseEntryObject(int index) {
  Entry& entry = entries_[static_cast<std::size_t>(index)];
  void* object = entry.object;
  if (!object) return;
  if (OnDelete) OnDelete(object, index);
  entry.object = nullptr;
  switch (ownership_) {
    case kOwnDestroy:
      DestroyObject(object);
      break;
    case kOwnFree:
      std::free(object);
      break;
    case kOwnRelease:
      ReleaseObject(object);
      break;
    default:
      break;
  }
}

void CStrArray::Grow() {
  int capacity = Capacity();
  int delta = capacity < 5 ? 4 : (capacity <= 8 ? 8 : 16);
  SetCapacity(capacity + delta);
}

void CStrArray::SetCapacity(int capacity) {
  if (capacity < 0 || capacity >= kMaxCount) RaiseError("StrArray raised the maximum number of elements");
  if (capacity < count_) SetCount(capacity);
  entries_.resize(static_cast<std::size_t>(capacity));
}

void CStrArray::SetCount(int count) {
  if (count < 0 || count >= kMaxCount) RaiseError("StrArray raised the maximum number of elements");
  if (count > Capacity()) SetCapacity(count);
  for (int i = count_ - 1; i >= count; --i) {
    ReleaseEntryObject(i);
    entries_[static_cast<std::size_t>(i)] = Entry{};
  }
  count_ = count;
}

void CStrArray::Clear() {
  SetCount(0);
  SetCapacity(0);
}

int CStrArray::InsertEntry(int index, const std::string& key, void* object) {
  if (index < 0 || index > count_) {
    RaiseErrorFmt("StrArray Error: index out of bounds [%d]", {index});
  }
  if (count_ == Capacity()) Grow();
  // move the later entries up by one: the last slot is free after Grow
  for (int i = count_; i > index; --i) {
    entries_[static_cast<std::size_t>(i)] = std::move(entries_[static_cast<std::size_t>(i - 1)]);
  }
  entries_[static_cast<std::size_t>(index)] = Entry{key, object};
  ++count_;
  return index;
}

void CStrArray::Insert(int index, const std::string& key) {
  InsertEntry(index, key, nullptr);
}

void CStrArray::Delete(int index) {
  if (index < 0 || index >= count_) {
    RaiseErrorFmt("StrArray Error: index out of bounds [%d]", {index});
  }
  ReleaseEntryObject(index);
  for (int i = index; i + 1 < count_; ++i) {
    entries_[static_cast<std::size_t>(i)] = std::move(entries_[static_cast<std::size_t>(i + 1)]);
  }
  --count_;
  entries_[static_cast<std::size_t>(count_)] = Entry{};
}

void CStrArray::SetObject(int index, void* object) {
  if (Object(index) == object) return;  // storing the same object again must not destroy it
  ReleaseEntryObject(index);
  entries_[static_cast<std::size_t>(index)].object = object;
}

// Binary search over the entries: `compare(i)` compares the sought value with entry i.
// InsertionPoint ends at the place the value belongs; the search stops on equality.
template <class Compare>
int CStrArray::Search(Compare compare) {
  int low = 0;
  int high = count_ - 1;
  insertionPoint_ = count_;
  while (low <= high) {
    int middle = (low + high) / 2;
    int r = compare(middle);
    if (r <= 0) {
      insertionPoint_ = middle;
      if (r == 0) return middle;
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return -1;
}

int CStrArray::SearchKey(const std::string& key) {
  return Search([&](int i) { return CompareKeys(key, Key(i)); });
}

int CStrArray::SearchObject(const void* object) {
  return Search([&](int i) { return CompareObjects(object, Object(i)); });
}

int CStrArray::AddSorted(int found, const std::string& key, void* object, const std::string& duplicateText) {
  if (found >= 0) {
    if (duplicatePolicy_ == kDuplicateIgnore) return -1;
    if (duplicatePolicy_ == kDuplicateError) {
      RaiseErrorFmt("StrArray Error: Duplicate identificator [%s]", {duplicateText});
    }
  }
  return InsertEntry(insertionPoint_, key, object);
}

int CStrArray::Add(const std::string& key, void* object) {
  if (count_ + 1 >= kMaxCount) RaiseError("StrArray raised the maximum number of elements");
  if (indexMode_ == kIndexByKey) {
    int found = SearchKey(key);
    return AddSorted(found, key, object, key);
  }
  if (indexMode_ == kIndexByObject) {
    int found = SearchObject(object);
    return AddSorted(found, key, object, FormatText("%d", {found}));
  }
  return InsertEntry(count_, key, object);
}

int CStrArray::AddKey(const std::string& key) {
  if (indexMode_ == kIndexByKey && duplicatePolicy_ == kDuplicateIgnore) {
    int found = SearchKey(key);
    if (found >= 0) return found;
  }
  return Add(key, nullptr);
}

bool CStrArray::Find(const std::string& key, int& index) {
  if (indexMode_ == kIndexByKey) {
    index = SearchKey(key);
    return index >= 0;
  }
  for (int i = 0; i < count_; ++i) {
    if (CompareKeys(key, Key(i)) == 0) {
      index = insertionPoint_ = i;
      return true;
    }
  }
  index = -1;
  return false;
}

bool CStrArray::FindObject(const void* object, int& index) {
  if (indexMode_ == kIndexByObject) {
    index = SearchObject(object);
    return index >= 0;
  }
  for (int i = 0; i < count_; ++i) {
    if (CompareObjects(object, Object(i)) == 0) {
      index = insertionPoint_ = i;
      return true;
    }
  }
  index = -1;
  return false;
}

int CStrArray::IndexOf(const std::string& key) {
  int index = -1;
  Find(key, index);
  return index;
}

int CStrArray::IndexOfName(const std::string& name) const {
  for (int i = 0; i < count_; ++i) {
    const std::string& key = Key(i);
    std::size_t separator = key.find(NameValueSeparator);
    if (separator == std::string::npos) continue;
    if (CompareKeys(std::string_view(key).substr(0, separator), name) == 0) return i;
  }
  return -1;
}

std::string CStrArray::ValueOf(const std::string& name) const {
  int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueAt(index);
}

std::string CStrArray::ValueAt(int index) const {
  const std::string& key = Key(index);
  std::size_t separator = key.find(NameValueSeparator);
  return separator == std::string::npos ? std::string() : key.substr(separator + 1);
}

std::string CStrArray::GetText() const {
  std::string text;
  for (int i = 0; i < count_; ++i) text += Key(i) + "\r\n";
  return text;
}

std::string CStrArray::Join(const std::string& separator) const {
  std::string text;
  for (int i = 0; i < count_; ++i) {
    if (i) text += separator;
    text += Key(i);
  }
  return text;
}

void CStrArray::SaveToStream(std::string& stream, std::size_t& position, bool truncate) const {
  std::string text = GetText();
  if (truncate && stream.size() > text.size()) stream.resize(text.size());
  if (position > stream.size()) position = stream.size();
  if (position + text.size() > stream.size()) stream.resize(position + text.size());
  stream.replace(position, text.size(), text);
  position += text.size();
}

void CStrArray::SaveToFile(const std::string& fileName) const {
  WriteTextFile(fileName, GetText());
}

}  // namespace qv
