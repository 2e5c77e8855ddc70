// XML-bound objects: a node writes its own element through the XML writer and reads it
// back through the reader; a collection writes and reads a list of like elements. A whole
// tree is saved and loaded through the root, which hands its own writer or reader down.
#pragma once

#include <memory>
#include <string>

#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"
#include "xml/XMLTextReader.h"
#include "xml/XMLTextWriter.h"

namespace qv {

class CXMLClass : public CBaseClass {
 public:
  CXMLClass();
  ~CXMLClass() override;

  // Writes the node with `writer`, or with its own writer when none is given.
  void Write(CXMLTextWriter* writer = nullptr);
  // Reads the node with `reader`, or with its own reader when none is given.
  void Read(CXMLTextReader* reader = nullptr);

  // The whole document of this node as text: a fresh document from the current state.
  std::string SaveToText();
  // Writes the whole document to `fileName` once it is complete; a failure part-way leaves
  // an existing file as it was. An empty text does not touch the file.
  void SaveToFile(const std::string& fileName);
  // Hands the whole document text to the own reader; Parse then reads it.
  void SetText(const std::string& text);
  void Parse();

  // The node's own writer and reader, made on first use: only the root of a tree needs them.
  CXMLTextWriter& Writer();
  CXMLTextReader& Reader();

 protected:
  virtual void Save(CXMLTextWriter& writer) = 0;
  // Expects the reader on the node's element (the root: anywhere before it) and leaves it
  // on the first start tag after the node's own content.
  virtual void Load(CXMLTextReader& reader) = 0;

 private:
  std::unique_ptr<CXMLTextWriter> writer_;
  std::unique_ptr<CXMLTextReader> reader_;
};

// A list that owns its items: deleting an entry or destroying the list destroys the item.
// Items are CBaseClass objects made by CreateItem.
class CCollection : public CStrArray {
 public:
  CCollection();

  // Makes a new item with CreateItem and appends it under an empty key.
  CBaseClass* Add();
  CBaseClass* ItemAt(int index) const { return static_cast<CBaseClass*>(Object(index)); }

 protected:
  virtual CBaseClass* CreateItem() = 0;
};

// A collection of like elements that stand directly in their parent's element (or, with a
// wrapper name, inside one enclosing element).
class CXMLCollection : public CCollection {
 public:
  virtual std::string WrapperName() const { return {}; }
  virtual std::string ItemName() const = 0;

  CXMLClass* Item(int index) const { return static_cast<CXMLClass*>(ItemAt(index)); }
  CXMLClass* AddItem() { return static_cast<CXMLClass*>(Add()); }

  void Write(CXMLTextWriter& writer);
  // Adds and reads items as long as the current tag is an item element; any other tag, or
  // the end of input, ends the list without error.
  void Read(CXMLTextReader& reader);

 protected:
  // Items must be CXMLClass objects.
  CBaseClass* CreateItem() override = 0;
};

}  // namespace qv
