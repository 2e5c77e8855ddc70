#include "platform/CryptError.h"

#include <mutex>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/Ossl.h"

namespace qv {
namespace {

struct LastError {
  std::int32_t code = 0;
  std::string detail;
};

thread_local LastError tlsLastError;

struct CodeText {
  std::int32_t code;
  const char* text;  // UTF-8
};

const CodeText kTexts[] = {
    {kErrorSuccess, "Операция успешно завершена."},
    {kErrorFileNotFound, "Не удается найти указанный файл."},
    {kErrorAccessDenied, "Отказано в доступе."},
    {kErrorInvalidParameter, "Параметр задан неверно."},
    {kErrorMoreData, "Имеются дополнительные данные."},
    {kErrorNoMoreItems, "Элементов больше нет."},
    {kErrorCancelled, "Операция отменена пользователем."},
    {kNteBadData, "Неправильные данные."},
    {kNteBadSignature, "Неправильная подпись."},
    {kNteBadKey, "Неправильный ключ."},
    {kNteNoKey, "Ключ не существует."},
    {kNteBadKeyset, "Набор ключей не существует."},
    {kNteExists, "Объект уже существует."},
    {kNteProvTypeNotDef, "Тип поставщика не определен."},
    {kNteKeysetNotDef, "Запрошенный поставщик не существует."},
    {kNteBadKeysetParam, "Параметр набора ключей задан неверно."},
    {kNteFail, "Внутренняя ошибка."},
    {kNteBadAlgid, "Неправильный алгоритм."},
    {kCryptEHashValue, "Значение хеша неверно."},
    {kCryptEAsn1BadTag, "Ошибка ASN1: неверный тег."},
    {kCryptEBadEncode, "Ошибка при кодировании или декодировании."},
    {kCryptENotFound, "Объект или свойство не найдено."},
    {kCryptEExists, "Объект или свойство уже существует."},
    {kCryptESelfSigned, "Указанный сертификат является самозаверенным."},
    {kCryptENoMatch, "Не удается найти требуемый объект."},
    {kCryptEStreamMsgNotReady, "Сообщение еще не готово."},
    {kCryptENoKeyProperty, "Не удается найти закрытый ключ сертификата."},
    {kCryptENoDecryptCert, "Не удается найти сертификат и закрытый ключ для расшифровки."},
    {kCryptEUnexpectedMsgType, "Неожиданный тип криптографического сообщения."},
    {kCryptERevoked, "Сертификат отозван."},
    {kCryptEFileError, "Ошибка при чтении или записи файла."},
    {kCryptENotInCtl, "Объект не найден в списке доверия."},
};

}  // namespace

void RegisterCryptErrorTexts() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const CodeText& t : kTexts) {
      if (t.code > 0 && t.code < 4096) continue;  // the system's own texts stay
      RegisterSystemErrorText(t.code, Utf8ToCp1251(t.text));
    }
  });
}

std::string CryptErrorText(std::int32_t code) {
  for (const CodeText& t : kTexts) {
    if (t.code == code) return Utf8ToCp1251(t.text);
  }
  return SystemErrorText(code);
}

void SetLastCryptError(std::int32_t code, const std::string& detail) {
  tlsLastError.code = code;
  tlsLastError.detail = detail;
}

void SetLastCryptErrorFromOpenSsl(std::int32_t code) {
  SetLastCryptError(code, TakeOpenSslErrors());
}

std::int32_t GetLastCryptError() {
  return tlsLastError.code;
}

std::string LastErrorMessage() {
  std::string text = CryptErrorText(tlsLastError.code);
  if (!tlsLastError.detail.empty()) text += " (" + tlsLastError.detail + ")";
  return text;
}

}  // namespace qv
