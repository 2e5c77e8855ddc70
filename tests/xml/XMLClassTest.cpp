#include "xml/XMLClass.h"

#include "common/TestEnv.h"
#include "foundation/Files.h"
#include "xml/XmlTestUtil.h"

using namespace qv;

namespace {

int g_alive = 0;

class CItem : public CXMLClass {
 public:
  CItem() { ++g_alive; }
  ~CItem() override { --g_alive; }
  std::string value;

 protected:
  void Save(CXMLTextWriter& w) override {
    w.StartElement("item");
    w.AddAttribute("v", value);
    w.EndElement();
  }
  void Load(CXMLTextReader& r) override {
    value = r.ReadAttribute("v");
    if (value == "bad") RaiseError("плохое значение"_cp);
    r.ReadStartElement("item");
  }
};

class CItems : public CXMLCollection {
 public:
  std::string wrapper;
  std::string WrapperName() const override { return wrapper; }
  std::string ItemName() const override { return "item"; }

 protected:
  CBaseClass* CreateItem() override { return new CItem; }
};

class CRoot : public CXMLClass {
 public:
  CRoot() { ++g_alive; }
  ~CRoot() override { --g_alive; }
  std::string name = "r";
  CItems items;

 protected:
  void Save(CXMLTextWriter& w) override {
    w.StartDocument();
    w.StartElement("root");
    w.AddAttribute("name", name);
    items.Write(w);
    w.EndDocument();
  }
  void Load(CXMLTextReader& r) override {
    r.FindElement("root");
    name = r.ReadAttribute("name");
    r.ReadStartElement("root");
    items.Read(r);
  }
};

TEST(XMLClass, SavesTwiceIdenticallyAndReadsBack) {
  {
    CRoot root;
    for (const char* v : {"1", "2", "3"}) static_cast<CItem*>(root.items.AddItem())->value = v;
    std::string file = qvtest::TestPath("a.xml");
    root.SaveToFile(file);
    std::string first = ReadFileBytes(file);
    root.SaveToFile(file);
    EXPECT_EQ(ReadFileBytes(file), first);

    CRoot again;
    again.SetText(first);
    again.Parse();
    ASSERT_EQ(again.items.Count(), 3);
    EXPECT_EQ(static_cast<CItem*>(again.items.Item(2))->value, "3");
    EXPECT_EQ(again.SaveToText(), first);

    root.items.wrapper = "list";
    std::string wrapped = root.SaveToText();
    EXPECT_NE(wrapped.find("<list>"), std::string::npos);
    CRoot fromWrapped;
    fromWrapped.items.wrapper = "list";
    fromWrapped.SetText(wrapped);
    fromWrapped.Parse();
    EXPECT_EQ(fromWrapped.items.Count(), 3);
  }
  EXPECT_EQ(g_alive, 0);  // every node and item destroyed exactly once
}

TEST(XMLClass, AnotherElementEndsTheCollectionWithoutError) {
  CRoot root;
  root.SetText("<root name=\"x\"><other/><item v=\"1\"/></root>");
  root.Parse();
  EXPECT_EQ(root.name, "x");
  EXPECT_EQ(root.items.Count(), 0);
}

TEST(XMLClass, FailureInTheThirdItemKeepsTheFirstTwoAndTheMessage) {
  CRoot root;
  root.SetText("<root name=\"x\"><item v=\"1\"/><item v=\"2\"/><item v=\"bad\"/><item v=\"4\"/></root>");
  EXPECT_QV_ERROR(root.Parse(), "плохое значение"_cp);
  ASSERT_GE(root.items.Count(), 2);
  EXPECT_EQ(static_cast<CItem*>(root.items.Item(0))->value, "1");
  EXPECT_EQ(static_cast<CItem*>(root.items.Item(1))->value, "2");
}

TEST(XMLClass, FailedSaveLeavesTheFileUntouched) {
  CRoot root;
  static_cast<CItem*>(root.items.AddItem())->value = "1";
  std::string file = qvtest::TestPath("b.xml");
  root.SaveToFile(file);
  std::string before = ReadFileBytes(file);
  static_cast<CItem*>(root.items.AddItem())->value = "";
  EXPECT_QV_ERROR(root.SaveToFile(file), "Попытка записи пустого значения в атрибут [v]"_cp);
  EXPECT_EQ(ReadFileBytes(file), before);
  // the next save starts a fresh document
  root.items.Delete(1);
  root.SaveToFile(file);
  EXPECT_EQ(ReadFileBytes(file), before);
}

}  // namespace
