#include "xml/XMLClass.h"

#include "foundation/Files.h"

namespace qv {

CXMLClass::CXMLClass() = default;
CXMLClass::~CXMLClass() = default;

CXMLTextWriter& CXMLClass::Writer() {
  if (!writer_) writer_ = std::make_unique<CXMLTextWriter>();
  return *writer_;
}

CXMLTextReader& CXMLClass::Reader() {
  if (!reader_) reader_ = std::make_unique<CXMLTextReader>();
  return *reader_;
}

void CXMLClass::Write(CXMLTextWriter* writer) {
  CXMLTextWriter& target = writer ? *writer : Writer();
  Funnel([&] { Save(target); });
}

void CXMLClass::Read(CXMLTextReader* reader) {
  CXMLTextReader& source = reader ? *reader : Reader();
  Funnel([&] { Load(source); });
}

std::string CXMLClass::SaveToText() {
  CXMLTextWriter& writer = Writer();
  writer.Reset();
  Write(&writer);
  return writer.GetText();
}

void CXMLClass::SaveToFile(const std::string& fileName) {
  std::string text = SaveToText();
  if (!text.empty()) WriteFileBytes(fileName, text);
}

void CXMLClass::SetText(const std::string& text) {
  CXMLTextReader& reader = Reader();
  reader.Clear();
  reader.SetText(text);
}

void CXMLClass::Parse() {
  Read(&Reader());
}

CCollection::CCollection() {
  SetOwnership(kOwnDestroy);
}

CBaseClass* CCollection::Add() {
  std::unique_ptr<CBaseClass> item(CreateItem());
  CStrArray::Add(std::string(), item.get());
  return item.release();
}

void CXMLCollection::Write(CXMLTextWriter& writer) {
  std::string wrapper = WrapperName();
  if (!wrapper.empty()) writer.StartElement(wrapper);
  for (int i = 0; i < Count(); ++i) Item(i)->Write(&writer);
  if (!wrapper.empty()) writer.EndElement();
}

void CXMLCollection::Read(CXMLTextReader& reader) {
  std::string wrapper = WrapperName();
  if (!wrapper.empty()) reader.ReadStartElement(wrapper);
  std::string item = ItemName();
  while (!reader.AtEnd() && reader.CurrentElementName() == item) AddItem()->Read(&reader);
  if (!wrapper.empty()) reader.ReadEndElement(wrapper);
}

}  // namespace qv
