#include "foundation/StrArray.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "foundation/BaseClass.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"

using namespace qv;

namespace {

int g_destroyed = 0;
class Counted : public CBaseClass {
 public:
  ~Counted() override { ++g_destroyed; }
};

std::string Keys(const CStrArray& list) {
  return list.Join(",");
}

}  // namespace

TEST(StrArray, GrowthSteps) {
  CStrArray list;
  std::vector<int> capacities;
  for (int i = 0; i < 40; ++i) {
    list.AddKey("k");
    if (capacities.empty() || capacities.back() != list.Capacity()) capacities.push_back(list.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int>{4, 8, 16, 32, 48}));
}

TEST(StrArray, DefaultsKeepDuplicatesInInsertionOrder) {
  CStrArray list;
  list.Add("b", nullptr);
  list.Add("a", nullptr);
  list.Add("b", nullptr);
  EXPECT_EQ(Keys(list), "b,a,b");
  int index = -1;
  EXPECT_TRUE(list.Find("B", index));  // case-insensitive by default
  EXPECT_EQ(index, 0);
}

TEST(StrArray, SortedByKeyWithTheThreeDuplicatePolicies) {
  CStrArray accept;
  accept.SetIndexMode(CStrArray::kIndexByKey);
  for (const char* k : {"m", "c", "x", "a", "c"}) accept.AddKey(k);
  EXPECT_EQ(Keys(accept), "a,c,c,m,x");

  CStrArray ignore;
  ignore.SetIndexMode(CStrArray::kIndexByKey);
  ignore.SetDuplicatePolicy(CStrArray::kDuplicateIgnore);
  int dummy = 0;
  EXPECT_EQ(ignore.Add("b", &dummy), 0);
  EXPECT_EQ(ignore.Add("a", nullptr), 0);
  EXPECT_EQ(ignore.Add("B", nullptr), -1);
  EXPECT_EQ(ignore.AddKey("b"), 1);  // AddKey answers the existing index
  EXPECT_EQ(Keys(ignore), "a,b");

  CStrArray error;
  error.SetIndexMode(CStrArray::kIndexByKey);
  error.SetDuplicatePolicy(CStrArray::kDuplicateError);
  error.AddKey("A");
  try {
    error.AddKey("a");
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "StrArray Error: Duplicate identificator [a]");
  }
  error.SetCompareMode(CStrArray::kCompareCase);
  EXPECT_NO_THROW(error.AddKey("a"));
  EXPECT_EQ(Keys(error), "A,a");
}

TEST(StrArray, SortedByObjectAndBinarySearch) {
  int objects[5];
  CStrArray list;
  list.SetIndexMode(CStrArray::kIndexByObject);
  list.SetDuplicatePolicy(CStrArray::kDuplicateError);
  for (int i : {3, 0, 4, 1, 2}) list.Add(std::to_string(i), &objects[i]);
  EXPECT_EQ(Keys(list), "0,1,2,3,4");
  int index = -1;
  EXPECT_TRUE(list.FindObject(&objects[3], index));
  EXPECT_EQ(index, 3);
  try {
    list.Add("dup", &objects[2]);
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "StrArray Error: Duplicate identificator [2]");
  }
}

TEST(StrArray, BinarySearchReportsInsertionPoint) {
  CStrArray list;
  list.SetIndexMode(CStrArray::kIndexByKey);
  for (const char* k : {"b", "d", "f"}) list.AddKey(k);
  int index = 0;
  EXPECT_FALSE(list.Find("e", index));
  EXPECT_EQ(index, -1);
  EXPECT_EQ(list.InsertionPoint(), 2);
  EXPECT_FALSE(list.Find("z", index));
  EXPECT_EQ(list.InsertionPoint(), 3);
  EXPECT_TRUE(list.Find("D", index));
  EXPECT_EQ(index, 1);
}

TEST(StrArray, LocaleOrderPutsYoAmongTheLetters) {
  CStrArray list;
  list.SetIndexMode(CStrArray::kIndexByKey);
  list.SetCompareMode(CStrArray::kCompareLocaleNoCase);
  for (const char* k : {"Ж", "Ё", "Е", "А"}) list.AddKey(Utf8ToCp1251(k));
  EXPECT_EQ(Cp1251ToUtf8(Keys(list)), "А,Е,Ё,Ж");
}

TEST(StrArray, MaximumNumberOfElements) {
  CStrArray list;
  try {
    list.SetCapacity(CStrArray::kMaxCount);
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "StrArray raised the maximum number of elements");
  }
  EXPECT_EQ(list.Capacity(), 0);
}

TEST(StrArray, OwnershipDestroysExactlyOnce) {
  g_destroyed = 0;
  {
    CStrArray list;
    list.SetOwnership(CStrArray::kOwnDestroy);
    int deleted = 0;
    list.OnDelete = [&](void*, int) { ++deleted; };
    list.Add("a", new Counted);
    list.Add("b", new Counted);
    list.Add("c", new Counted);
    list.Add("d", new Counted);
    list.Delete(1);
    EXPECT_EQ(g_destroyed, 1);
    list.SetObject(0, new Counted);  // overwrite
    EXPECT_EQ(g_destroyed, 2);
    list.SetObject(0, list.Object(0));  // the same object again is kept
    EXPECT_EQ(g_destroyed, 2);
    list.SetCount(2);  // shrinking releases the cut entries
    EXPECT_EQ(g_destroyed, 3);
    list.Clear();
    EXPECT_EQ(g_destroyed, 5);
    EXPECT_EQ(deleted, 5);
    EXPECT_EQ(list.Capacity(), 0);
    list.Add("e", new Counted);
  }
  EXPECT_EQ(g_destroyed, 6);  // the last one with the list

  CStrArray blocks;
  blocks.SetOwnership(CStrArray::kOwnFree);
  blocks.Add("m", std::malloc(16));
  blocks.Delete(0);  // the sanitizer build checks that the block is freed once
}

TEST(StrArray, InsertDeleteAndNameValues) {
  CStrArray list;
  list.AddKey("FileVersion=1.0");
  list.AddKey("plain");
  list.Insert(1, "ProductName=QelVorlent");
  EXPECT_EQ(Keys(list), "FileVersion=1.0,ProductName=QelVorlent,plain");
  EXPECT_EQ(list.IndexOfName("productname"), 1);
  EXPECT_EQ(list.IndexOfName("plain"), -1);
  EXPECT_EQ(list.ValueOf("FileVersion"), "1.0");
  EXPECT_EQ(list.ValueAt(2), "");
  list.Delete(0);
  EXPECT_EQ(list.GetText(), "ProductName=QelVorlent\r\nplain\r\n");
  EXPECT_THROW(list.Delete(5), CVorlentException);
}

TEST(StrArray, SaveToStreamTruncatesOnlyWhenAsked) {
  CStrArray list;
  list.AddKey("ab");
  std::string stream = "0123456789";
  std::size_t position = 0;
  list.SaveToStream(stream, position, false);
  EXPECT_EQ(stream, "ab\r\n456789");
  EXPECT_EQ(position, 4u);
  position = 0;
  list.SaveToStream(stream, position, true);
  EXPECT_EQ(stream, "ab\r\n");
}

TEST(SplitText, TrimsPiecesAndKeepsTheLastEmptyOne) {
  CStrArray list;
  SplitText("a; b;", ';', list);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Key(0), "a");
  EXPECT_EQ(list.Key(1), "b");
  EXPECT_EQ(list.Key(2), "");
  SplitText("", ';', list);
  EXPECT_EQ(list.Count(), 1);
}
