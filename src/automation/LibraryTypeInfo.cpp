// The type information of QelVorlentLib: one description per dual interface, in slot
// order, with the dispatch identifiers of qelvorlent/QelVorlentLib.h.
#include "automation/TypeInfo.h"

namespace qv {

namespace {

CTypeInfo MakeIVorlent() {
  using I = IVorlent;
  return CTypeInfo(u"IVorlent", IID_IVorlent,
                   {QV_METHOD(I, New, 201, u"enTransactionType"),
                    QV_METHOD(I, Open, 202, u"wsFilename"),
                    QV_METHOD(I, Close, 203),
                    QV_METHOD(I, Save, 204, u"wsFilename"),
                    QV_METHOD(I, Encrypt, 205, u"pKey"),
                    QV_METHOD(I, Decrypt, 206),
                    QV_METHOD(I, AddFile, 207, u"wsDocType", u"wsDocTypeCode", u"wsContentType",
                              u"wsFilename", u"wsContent"),
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
                    QV_PROPGET(I, Version, 229)});
}

CTypeInfo MakeIVorlentFile() {
  using I = IVorlentFile;
  return CTypeInfo(u"IVorlentFile", IID_IVorlentFile,
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
                    QV_PROPGET(I, LastError, 299)});
}

CTypeInfo MakeIVorlentSignature() {
  using I = IVorlentSignature;
  return CTypeInfo(u"IVorlentSignature", IID_IVorlentSignature,
                   {QV_PROPGET(I, Filename, 201), QV_PROPPUT(I, Filename, 201), QV_PROPGET(I, SignKey, 202),
                    QV_METHOD(I, AddSign, 203, u"wsSignatureContent", u"enRole"),
                    QV_PROPGET(I, SignatureContent, 204), QV_PROPGET(I, LastError, 299)});
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
                    QV_PROPPUT(I, FlagCurrentUserStorage, 211)});
}

CTypeInfo MakeIVorlentCrypt() {
  using I = IVorlentCrypt;
  return CTypeInfo(u"IVorlentCrypt", IID_IVorlentCrypt,
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
                    QV_METHOD(I, DownloadFile, 219, u"wsUrl", u"wsFilename")});
}

CTypeInfo MakeICertChecker() {
  using I = ICertChecker;
  return CTypeInfo(u"ICertChecker", IID_ICertChecker,
                   {QV_METHOD(I, Init, 201, u"wsP7BFileName"), QV_METHOD(I, CheckFormal, 202, u"pKey"),
                    QV_METHOD(I, CheckIssuer, 203, u"pKey"), QV_PROPGET(I, LastError, 204),
                    QV_METHOD(I, CheckCrl, 205, u"pKey")});
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
