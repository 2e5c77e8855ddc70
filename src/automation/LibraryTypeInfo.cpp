// The type information of QelVorlentLib: one description per dual interface, in slot
// order, with the dispatch identifiers of qelvorlent/QelVorlentLib.h.
#include "automation/TypeInfo.h"

namespace qv {

namespace {

CTypeInfo MakeIVorlent() {
  using I = IVorlent;
  return CTypeInfo(
      u"IVorlent", IID_IVorlent,
      {QV_METHOD(I, New, 201, u"enTransactionType"),
       QV_METHOD(I, Open, 202, u"wsFilename"),
       QV_METHOD(I, Close, 203),
       QV_METHOD(I, Save, 204, u"wsFilename"),
       QV_METHOD(I, Encrypt, 205, u"pKey"),
       QV_METHOD(I, Decrypt, 206),
       QV_METHOD(I, AddFile, 207, u"wsDocType", u"wsDocTypeCode", u"wsContentType", u"wsFilename",
                 u"wsContent"),
       QV_METHOD(I, GetFileCount, 208),
       QV_METHOD(I, GetFile, 209, u"iIndex"),
       QV_METHOD(I, IsOpened, 210),
       QV_METHOD(I, SignFile, 211, u"wsFilename", u"pKey"),
       QV_METHOD(I, ReSignFile, 212, u"wsFilename", u"pKey"),
       QV_METHOD(I, GetFileSignatureCount, 213, u"iIndex"),
       QV_METHOD(I, GetFileSignature, 214, u"iFileIndex", u"iSignIndex"),
       QV_METHOD(I, GetFileResignCount, 215, u"iFileIndex", u"iSignIndex"),
       QV_METHOD(I, GetFileResign, 216, u"iFileIndex", u"iSignIndex", u"iResignIndex"),
       QV_PROPGET(I, IsEncrypted, 217),
       QV_PROPGET(I, SenderType, 218),
       QV_PROPPUT(I, SenderType, 218),
       QV_PROPGET(I, SenderIdentifier, 219),
       QV_PROPPUT(I, SenderIdentifier, 219),
       QV_PROPGET(I, ReceiverType, 220),
       QV_PROPPUT(I, ReceiverType, 220),
       QV_PROPGET(I, ReceiverIdentifier, 221),
       QV_PROPPUT(I, ReceiverIdentifier, 221),
       QV_PROPGET(I, DocTransactType, 222),
       QV_PROPPUT(I, DocTransactType, 222),
       QV_METHOD(I, DeleteFile, 223, u"iFileIndex"),
       QV_METHOD(I, DeleteFileSignatures, 224, u"iFileIndex"),
       QV_METHOD(I, DeleteFileResignatures, 225, u"iFileIndex", u"iSignIndex"),
       QV_METHOD(I, EncryptByCertificate, 226, u"wsCertBody"),
       QV_PROPGET(I, FlagUsageUserStorage, 227),
       QV_PROPPUT(I, FlagUsageUserStorage, 227),
       QV_METHOD(I, DeleteFileSignature, 228, u"iFileIndex", u"iSignIndex"),
       QV_PROPGET(I, LastError, 299),
       QV_PROPGET(I, Version, 229)},
      {{DISPID_UNKNOWN,
        u"Пакет документов для государственной регистрации: документы, их подписи и описание пакета"},
       {201, u"Начинает новый пустой пакет документооборота enTransactionType (TRANSACTION_TYPES)"},
       {202, u"Открывает пакет из файла wsFilename"},
       {203, u"Закрывает пакет"},
       {204, u"Сохраняет пакет в файл wsFilename"},
       {205, u"Шифрует документы пакета для получателя, сертификат которого у ключа pKey"},
       {206, u"Расшифровывает документы пакета ключом получателя"},
       {207,
        u"Добавляет документ: код типа wsDocTypeCode, тип содержимого wsContentType, имя файла wsFilename, "
        u"содержимое wsContent (байты); возвращает документ"},
       {208, u"Число документов пакета"},
       {209, u"Документ с номером iIndex (с нуля)"},
       {210, u"Открыт ли пакет"},
       {211, u"Подписывает документ с именем файла wsFilename ключом pKey"},
       {212, u"Заверяет подпись документа с именем файла wsFilename ключом pKey"},
       {213, u"Число подписей документа iIndex"},
       {214, u"Подпись iSignIndex документа iFileIndex"},
       {215, u"Число заверяющих подписей у подписи iSignIndex документа iFileIndex"},
       {216, u"Заверяющая подпись iResignIndex подписи iSignIndex документа iFileIndex"},
       {217, u"Зашифрован ли хоть один документ пакета"},
       {218, u"Тип отправителя (SIGN_ROLE_TYPES)"},
       {219, u"Идентификатор отправителя"},
       {220, u"Тип получателя (SIGN_ROLE_TYPES)"},
       {221, u"Идентификатор получателя"},
       {222, u"Тип документооборота пакета (TRANSACTION_TYPES)"},
       {223, u"Удаляет документ iFileIndex с его подписями"},
       {224, u"Удаляет все подписи документа iFileIndex"},
       {225, u"Удаляет заверяющие подписи подписи iSignIndex документа iFileIndex"},
       {226, u"Шифрует документы пакета для сертификата wsCertBody (DER, байты)"},
       {227, u"Ключи и сертификаты берутся из хранилищ пользователя (иначе из хранилищ компьютера)"},
       {228, u"Удаляет подпись iSignIndex документа iFileIndex"},
       {299, u"Сообщение о последней ошибке"},
       {229, u"Версия библиотеки"}});
}

CTypeInfo MakeIVorlentFile() {
  using I = IVorlentFile;
  return CTypeInfo(
      u"IVorlentFile", IID_IVorlentFile,
      {QV_PROPGET(I, DocType, 201),
       QV_PROPGET(I, DocTypeCode, 202),
       QV_PROPPUT(I, DocTypeCode, 202),
       QV_PROPGET(I, ContentType, 203),
       QV_PROPPUT(I, ContentType, 203),
       QV_PROPGET(I, IsCompressed, 204),
       QV_PROPGET(I, IsEncrypted, 205),
       QV_PROPGET(I, DocumentCode, 206),
       QV_PROPPUT(I, DocumentCode, 206),
       QV_PROPGET(I, OriginalFilename, 207),
       QV_PROPPUT(I, OriginalFilename, 207),
       QV_PROPGET(I, Filename, 208),
       QV_PROPPUT(I, Filename, 208),
       QV_METHOD(I, CheckSign, 209),
       QV_METHOD(I, Sign, 210, u"pKey"),
       QV_METHOD(I, Resign, 211, u"pKey"),
       QV_PROPGET(I, RawContent, 212),
       QV_METHOD(I, CheckSignEx, 213, u"bDownloadContent", u"bCheckCRL"),
       QV_METHOD(I, AddSign, 214, u"wsSignatureContent", u"enRole"),
       QV_METHOD(I, SaveRawContent, 215, u"wsFilename"),
       QV_PROPGET(I, LastError, 299)},
      {{DISPID_UNKNOWN, u"Документ пакета"},
       {201, u"Тип документа"},
       {202, u"Код типа документа"},
       {203, u"Тип содержимого"},
       {204, u"Сжат ли документ"},
       {205, u"Зашифрован ли документ"},
       {206, u"Идентификатор документа (32 знака)"},
       {207, u"Исходное имя файла документа"},
       {208, u"Имя файла документа в пакете"},
       {209, u"Проверяет подписи документа с загрузкой недостающих сертификатов и проверкой отзыва"},
       {210, u"Подписывает документ ключом pKey"},
       {211, u"Заверяет подпись документа ключом pKey"},
       {212, u"Содержимое документа (байты)"},
       {213,
        u"Проверяет подписи документа: bDownloadContent - загружать недостающие сертификаты, bCheckCRL - "
        u"проверять отзыв"},
       {214, u"Добавляет подпись wsSignatureContent (CMS, байты), сделанную в роли enRole (SIGN_ROLE_TYPES)"},
       {215, u"Записывает содержимое документа в файл wsFilename"},
       {299, u"Сообщение о последней ошибке"}});
}

CTypeInfo MakeIVorlentSignature() {
  using I = IVorlentSignature;
  return CTypeInfo(u"IVorlentSignature", IID_IVorlentSignature,
                   {QV_PROPGET(I, Filename, 201), QV_PROPPUT(I, Filename, 201), QV_PROPGET(I, SignKey, 202),
                    QV_METHOD(I, AddSign, 203, u"wsSignatureContent", u"enRole"),
                    QV_PROPGET(I, SignatureContent, 204), QV_PROPGET(I, LastError, 299)},
                   {{DISPID_UNKNOWN, u"Подпись документа или заверяющая подпись"},
                    {201, u"Имя файла подписи в пакете"},
                    {202, u"Ключ (сертификат) подписавшего"},
                    {203,
                     u"Добавляет заверяющую подпись wsSignatureContent (CMS, байты), сделанную в роли enRole "
                     u"(SIGN_ROLE_TYPES)"},
                    {204, u"Подпись (CMS, байты)"},
                    {299, u"Сообщение о последней ошибке"}});
}

CTypeInfo MakeIVorlentKey() {
  using I = IVorlentKey;
  return CTypeInfo(u"IVorlentKey", IID_IVorlentKey,
                   {QV_PROPGET(I, ContainerName, 201),
                    QV_PROPPUT(I, ContainerName, 201),
                    QV_PROPGET(I, Sha1, 202),
                    QV_PROPPUT(I, Sha1, 202),
                    QV_PROPGET(I, SubjectCN, 203),
                    QV_PROPPUT(I, SubjectCN, 203),
                    QV_PROPGET(I, SignRole, 204),
                    QV_PROPPUT(I, SignRole, 204),
                    QV_PROPGET(I, CertificateBody, 205),
                    QV_PROPPUT(I, CertificateBody, 205),
                    QV_PROPGET(I, Subject, 206),
                    QV_PROPPUT(I, Subject, 206),
                    QV_PROPGET(I, Issuer, 207),
                    QV_PROPPUT(I, Issuer, 207),
                    QV_METHOD(I, Init, 208),
                    QV_PROPGET(I, LastError, 299),
                    QV_PROPGET(I, SubjectSN, 209),
                    QV_PROPPUT(I, SubjectSN, 209),
                    QV_PROPGET(I, SubjectG, 210),
                    QV_PROPPUT(I, SubjectG, 210),
                    QV_PROPGET(I, FlagCurrentUserStorage, 211),
                    QV_PROPPUT(I, FlagCurrentUserStorage, 211)},
                   {{DISPID_UNKNOWN, u"Ключ: сертификат и, для своих ключей, контейнер закрытого ключа"},
                    {201, u"Имя контейнера закрытого ключа"},
                    {202, u"Отпечаток SHA-1 сертификата"},
                    {203, u"Общее имя (CN) владельца сертификата"},
                    {204, u"Роль, в которой ключ подписывает (SIGN_ROLE_TYPES)"},
                    {205, u"Сертификат (DER, байты)"},
                    {206, u"Имя владельца сертификата"},
                    {207, u"Имя издателя сертификата"},
                    {208, u"Открывает контейнер закрытого ключа"},
                    {299, u"Сообщение о последней ошибке"},
                    {209, u"Фамилия (SN) владельца сертификата"},
                    {210, u"Имя и отчество (G) владельца сертификата"},
                    {211, u"Контейнер в хранилище пользователя (иначе компьютера)"}});
}

CTypeInfo MakeIVorlentCrypt() {
  using I = IVorlentCrypt;
  return CTypeInfo(
      u"IVorlentCrypt", IID_IVorlentCrypt,
      {QV_METHOD(I, Init, 201),
       QV_METHOD(I, GetPrivateKeyCount, 202),
       QV_METHOD(I, GetPrivateKey, 203, u"iIndex"),
       QV_METHOD(I, GetOpponentKeyCount, 205),
       QV_METHOD(I, GetOpponentKey, 206, u"iIndex"),
       QV_METHOD(I, ImportP7BChain, 208, u"wsP7BFileContent"),
       QV_METHOD(I, ImportOpponentCertificate, 209, u"wsCertificateBody"),
       QV_METHOD(I, ImportPrivateCertificate, 210, u"wsCertificateBody", u"wsContainerName"),
       QV_METHOD(I, CheckSignature, 204, u"wsContent", u"wsSignature"),
       QV_METHOD(I, GetContainerCount, 207),
       QV_METHOD(I, GetContainer, 211, u"iIndex"),
       QV_METHOD(I, GetOpponentKeyBySha1, 212, u"wsSha1"),
       QV_METHOD(I, GetPrivateKeyBySha1, 213, u"wsSha1"),
       QV_METHOD(I, IsCryptographyOk, 214),
       QV_PROPGET(I, FlagUsageUserStorage, 215),
       QV_PROPPUT(I, FlagUsageUserStorage, 215),
       QV_METHOD(I, LinkPrivateKey, 216, u"pKey", u"bCaching"),
       QV_METHOD(I, SignFile, 217, u"wsFilename", u"pKey", u"wsSignFileName"),
       QV_METHOD(I, SetPrivateKeyCaching, 218, u"pKey", u"bCaching"),
       QV_PROPGET(I, LastError, 299),
       QV_METHOD(I, DownloadFile, 219, u"wsUrl", u"wsFilename")},
      {{DISPID_UNKNOWN, u"Управление ключами и сертификатами"},
       {201, u"Читает ключи, сертификаты и контейнеры из хранилищ"},
       {202, u"Число своих ключей"},
       {203, u"Свой ключ iIndex"},
       {205, u"Число сертификатов других лиц"},
       {206, u"Сертификат другого лица iIndex"},
       {208, u"Импортирует цепочку сертификатов wsP7BFileContent (PKCS #7, байты)"},
       {209, u"Импортирует сертификат другого лица wsCertificateBody (DER, байты)"},
       {210,
        u"Импортирует свой сертификат wsCertificateBody (DER, байты) и связывает его с контейнером "
        u"wsContainerName"},
       {204, u"Проверяет отсоединённую подпись wsSignature содержимого wsContent (байты)"},
       {207, u"Число контейнеров закрытых ключей"},
       {211, u"Имя контейнера iIndex"},
       {212, u"Сертификат другого лица с отпечатком wsSha1"},
       {213, u"Свой ключ с отпечатком wsSha1"},
       {214, u"Доступна ли криптография"},
       {215, u"Ключи и сертификаты берутся из хранилищ пользователя (иначе из хранилищ компьютера)"},
       {216, u"Связывает ключ pKey с его контейнером; bCaching - запоминать ПИН-код"},
       {217, u"Подписывает файл wsFilename ключом pKey, подпись - в файл wsSignFileName"},
       {218, u"Запоминать ли ПИН-код ключа pKey (bCaching)"},
       {299, u"Сообщение о последней ошибке"},
       {219, u"Загружает файл по адресу wsUrl в файл wsFilename"}});
}

CTypeInfo MakeICertChecker() {
  using I = ICertChecker;
  return CTypeInfo(u"ICertChecker", IID_ICertChecker,
                   {QV_METHOD(I, Init, 201, u"wsP7BFileName"), QV_METHOD(I, CheckFormal, 202, u"pKey"),
                    QV_METHOD(I, CheckIssuer, 203, u"pKey"), QV_PROPGET(I, LastError, 204),
                    QV_METHOD(I, CheckCrl, 205, u"pKey")},
                   {{DISPID_UNKNOWN, u"Проверка сертификатов"},
                    {201, u"Читает доверенные сертификаты из файла wsP7BFileName"},
                    {202, u"Проверяет сертификат ключа pKey формально: срок действия и назначение"},
                    {203, u"Проверяет цепочку сертификата ключа pKey до доверенного"},
                    {204, u"Сообщение о последней ошибке"},
                    {205, u"Проверяет, не отозван ли сертификат ключа pKey"}});
}

}  // namespace

const std::vector<CTypeInfo*>& LibraryTypeInfos() {
  // Made once; objects use them without references while the library is loaded.
  static CTypeInfo vorlent = MakeIVorlent();
  static CTypeInfo file = MakeIVorlentFile();
  static CTypeInfo signature = MakeIVorlentSignature();
  static CTypeInfo key = MakeIVorlentKey();
  static CTypeInfo crypt = MakeIVorlentCrypt();
  static CTypeInfo checker = MakeICertChecker();
  static const std::vector<CTypeInfo*> infos{&vorlent, &file, &signature, &key, &crypt, &checker};
  return infos;
}

CTypeInfo* LibraryTypeInfo(REFIID iid) {
  for (CTypeInfo* info : LibraryTypeInfos()) {
    if (info->Iid() == iid) return info;
  }
  return nullptr;
}

}  // namespace qv
