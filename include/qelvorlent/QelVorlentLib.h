// The type library QelVorlentLib 1.0 for C++ clients: the library's dual interfaces in
// slot order (the three slots of IUnknown, the four of IDispatch, then the members),
// their dispatch identifiers, the enumerations and the creatable classes.
//
// Every member returns a status; the value a late-bound caller sees as the result is
// the last, pointer-typed argument. Strings are BSTRs, Booleans VARIANT_TRUE (-1) or
// VARIANT_FALSE (0). A failed call leaves its message in the object's LastError and in
// the thread's error information (GetErrorInfo).
#pragma once

#include "qelvorlent/Automation.h"

// ---------------------------------------------------------------- identifiers

// {DB7256A1-C54B-4C7F-A4C4-3F1DE2696449}
QV_DEFINE_GUID(LIBID_QelVorlentLib, 0xDB7256A1, 0xC54B, 0x4C7F, 0xA4, 0xC4, 0x3F, 0x1D, 0xE2, 0x69, 0x64,
               0x49);
#define QelVorlentLibMajorVersion 1
#define QelVorlentLibMinorVersion 0

// {2DCD31E4-3AEA-4F8A-9264-520EC0171007}
QV_DEFINE_GUID(IID_IVorlent, 0x2DCD31E4, 0x3AEA, 0x4F8A, 0x92, 0x64, 0x52, 0x0E, 0xC0, 0x17, 0x10, 0x07);
// {85EC321F-1E44-4F70-837D-4460485A246E}
QV_DEFINE_GUID(IID_IVorlentFile, 0x85EC321F, 0x1E44, 0x4F70, 0x83, 0x7D, 0x44, 0x60, 0x48, 0x5A, 0x24, 0x6E);
// {E5D0E7DA-4749-480C-9946-663F7D830E89}
QV_DEFINE_GUID(IID_IVorlentSignature, 0xE5D0E7DA, 0x4749, 0x480C, 0x99, 0x46, 0x66, 0x3F, 0x7D, 0x83, 0x0E,
               0x89);
// {9E0104CE-3342-441E-95B2-CD434904B560}
QV_DEFINE_GUID(IID_IVorlentKey, 0x9E0104CE, 0x3342, 0x441E, 0x95, 0xB2, 0xCD, 0x43, 0x49, 0x04, 0xB5, 0x60);
// {ADA2C8EF-1483-4C9A-AC58-17BF45090A4A}
QV_DEFINE_GUID(IID_IVorlentKeyContext, 0xADA2C8EF, 0x1483, 0x4C9A, 0xAC, 0x58, 0x17, 0xBF, 0x45, 0x09, 0x0A,
               0x4A);
// {FDC07F47-D7D2-490B-AED2-934C8624F8C5}
QV_DEFINE_GUID(IID_IVorlentCrypt, 0xFDC07F47, 0xD7D2, 0x490B, 0xAE, 0xD2, 0x93, 0x4C, 0x86, 0x24, 0xF8, 0xC5);
// {4863E80F-D410-47CC-8B62-69B05C03416E}
QV_DEFINE_GUID(IID_ICertChecker, 0x4863E80F, 0xD410, 0x47CC, 0x8B, 0x62, 0x69, 0xB0, 0x5C, 0x03, 0x41, 0x6E);

// Creatable classes: "QelVorlentLib.Vorlent", "QelVorlentLib.VorlentCrypt", "QelVorlentLib.CertChecker".
// {78C739B2-31F4-4FF4-9FEE-99F22337AA0E}
QV_DEFINE_GUID(CLSID_Vorlent, 0x78C739B2, 0x31F4, 0x4FF4, 0x9F, 0xEE, 0x99, 0xF2, 0x23, 0x37, 0xAA, 0x0E);
// {C693C20D-8187-43BF-BD00-C52BABDD8EBC}
QV_DEFINE_GUID(CLSID_VorlentCrypt, 0xC693C20D, 0x8187, 0x43BF, 0xBD, 0x00, 0xC5, 0x2B, 0xAB, 0xDD, 0x8E,
               0xBC);
// {45B8CE27-886E-476B-83C1-7649DBE7C1F9}
QV_DEFINE_GUID(CLSID_CertChecker, 0x45B8CE27, 0x886E, 0x476B, 0x83, 0xC1, 0x76, 0x49, 0xDB, 0xE7, 0xC1, 0xF9);

// ---------------------------------------------------------------- enumerations

// In C++ the enumerations have the base LONG, as the 32-bit integers they are in C and in a
// VARIANT: a value outside the listed ones (which the members refuse) is still a value of the
// type, never an invalid one.
#ifdef __cplusplus
#define QV_ENUM_BASE : LONG
#else
#define QV_ENUM_BASE
#endif

typedef enum SIGN_ROLE_TYPES QV_ENUM_BASE {
  SIGN_ROLE_TYPE_UNKNOWN = 0,
  SIGN_ROLE_TYPE_ABONENT = 1,
  SIGN_ROLE_TYPE_APPLICANT = 2,
  SIGN_ROLE_TYPE_NOTARY = 3,
  SIGN_ROLE_TYPE_FNS = 4,
  SIGN_ROLE_TYPE_SOS = 5,
  SIGN_ROLE_TYPE_DUC = 6,
  SIGN_ROLE_TYPE_CBRF = 7,
  SIGN_ROLE_TYPE_IONOTARY = 8,
  SIGN_ROLE_TYPE_MINUST = 9
} SIGN_ROLE_TYPES;

typedef enum TRANSACTION_TYPES QV_ENUM_BASE {
  TRANSACTION_TYPE_UNKNOWN = 0,
  TRANSACTION_TYPE_UL_REG_UL = 1,
  TRANSACTION_TYPE_UL_NOTICE_RECEIPT = 2,
  TRANSACTION_TYPE_UL_RECEIPT = 3,
  TRANSACTION_TYPE_UL_REJECT_DECISION = 4,
  TRANSACTION_TYPE_UL_INFO = 5,
  TRANSACTION_TYPE_IP_REG_IP = 6,
  TRANSACTION_TYPE_IP_NOTICE_RECEIPT = 7,
  TRANSACTION_TYPE_IP_RECEIPT = 8,
  TRANSACTION_TYPE_IP_REJECT_DECISION = 9,
  TRANSACTION_TYPE_IP_INFO = 10
} TRANSACTION_TYPES;

// ---------------------------------------------------------------- dispatch identifiers

enum {
  DISPID_LASTERROR = 299,
  DISPID_CERTCHECKER_LASTERROR = 204,

  // IVorlent
  DISPID_VORLENT_NEW = 201,
  DISPID_VORLENT_OPEN = 202,
  DISPID_VORLENT_CLOSE = 203,
  DISPID_VORLENT_SAVE = 204,
  DISPID_VORLENT_ENCRYPT = 205,
  DISPID_VORLENT_DECRYPT = 206,
  DISPID_VORLENT_ADDFILE = 207,
  DISPID_VORLENT_GETFILECOUNT = 208,
  DISPID_VORLENT_GETFILE = 209,
  DISPID_VORLENT_ISOPENED = 210,
  DISPID_VORLENT_SIGNFILE = 211,
  DISPID_VORLENT_RESIGNFILE = 212,
  DISPID_VORLENT_GETFILESIGNATURECOUNT = 213,
  DISPID_VORLENT_GETFILESIGNATURE = 214,
  DISPID_VORLENT_GETFILERESIGNCOUNT = 215,
  DISPID_VORLENT_GETFILERESIGN = 216,
  DISPID_VORLENT_ISENCRYPTED = 217,
  DISPID_VORLENT_SENDERTYPE = 218,
  DISPID_VORLENT_SENDERIDENTIFIER = 219,
  DISPID_VORLENT_RECEIVERTYPE = 220,
  DISPID_VORLENT_RECEIVERIDENTIFIER = 221,
  DISPID_VORLENT_DOCTRANSACTTYPE = 222,
  DISPID_VORLENT_DELETEFILE = 223,
  DISPID_VORLENT_DELETEFILESIGNATURES = 224,
  DISPID_VORLENT_DELETEFILERESIGNATURES = 225,
  DISPID_VORLENT_ENCRYPTBYCERTIFICATE = 226,
  DISPID_VORLENT_FLAGUSAGEUSERSTORAGE = 227,
  DISPID_VORLENT_DELETEFILESIGNATURE = 228,
  DISPID_VORLENT_VERSION = 229,

  // IVorlentFile
  DISPID_FILE_DOCTYPE = 201,
  DISPID_FILE_DOCTYPECODE = 202,
  DISPID_FILE_CONTENTTYPE = 203,
  DISPID_FILE_ISCOMPRESSED = 204,
  DISPID_FILE_ISENCRYPTED = 205,
  DISPID_FILE_DOCUMENTCODE = 206,
  DISPID_FILE_ORIGINALFILENAME = 207,
  DISPID_FILE_FILENAME = 208,
  DISPID_FILE_CHECKSIGN = 209,
  DISPID_FILE_SIGN = 210,
  DISPID_FILE_RESIGN = 211,
  DISPID_FILE_RAWCONTENT = 212,
  DISPID_FILE_CHECKSIGNEX = 213,
  DISPID_FILE_ADDSIGN = 214,
  DISPID_FILE_SAVERAWCONTENT = 215,

  // IVorlentSignature
  DISPID_SIGNATURE_FILENAME = 201,
  DISPID_SIGNATURE_SIGNKEY = 202,
  DISPID_SIGNATURE_ADDSIGN = 203,
  DISPID_SIGNATURE_SIGNATURECONTENT = 204,

  // IVorlentKey
  DISPID_KEY_CONTAINERNAME = 201,
  DISPID_KEY_SHA1 = 202,
  DISPID_KEY_SUBJECTCN = 203,
  DISPID_KEY_SIGNROLE = 204,
  DISPID_KEY_CERTIFICATEBODY = 205,
  DISPID_KEY_SUBJECT = 206,
  DISPID_KEY_ISSUER = 207,
  DISPID_KEY_INIT = 208,
  DISPID_KEY_SUBJECTSN = 209,
  DISPID_KEY_SUBJECTG = 210,
  DISPID_KEY_FLAGCURRENTUSERSTORAGE = 211,

  // IVorlentCrypt
  DISPID_CRYPT_INIT = 201,
  DISPID_CRYPT_GETPRIVATEKEYCOUNT = 202,
  DISPID_CRYPT_GETPRIVATEKEY = 203,
  DISPID_CRYPT_CHECKSIGNATURE = 204,
  DISPID_CRYPT_GETOPPONENTKEYCOUNT = 205,
  DISPID_CRYPT_GETOPPONENTKEY = 206,
  DISPID_CRYPT_GETCONTAINERCOUNT = 207,
  DISPID_CRYPT_IMPORTP7BCHAIN = 208,
  DISPID_CRYPT_IMPORTOPPONENTCERTIFICATE = 209,
  DISPID_CRYPT_IMPORTPRIVATECERTIFICATE = 210,
  DISPID_CRYPT_GETCONTAINER = 211,
  DISPID_CRYPT_GETOPPONENTKEYBYSHA1 = 212,
  DISPID_CRYPT_GETPRIVATEKEYBYSHA1 = 213,
  DISPID_CRYPT_ISCRYPTOGRAPHYOK = 214,
  DISPID_CRYPT_FLAGUSAGEUSERSTORAGE = 215,
  DISPID_CRYPT_LINKPRIVATEKEY = 216,
  DISPID_CRYPT_SIGNFILE = 217,
  DISPID_CRYPT_SETPRIVATEKEYCACHING = 218,
  DISPID_CRYPT_DOWNLOADFILE = 219,

  // ICertChecker
  DISPID_CHECKER_INIT = 201,
  DISPID_CHECKER_CHECKFORMAL = 202,
  DISPID_CHECKER_CHECKISSUER = 203,
  DISPID_CHECKER_CHECKCRL = 205
};

// ---------------------------------------------------------------- interfaces

typedef struct IVorlent IVorlent;
typedef struct IVorlentFile IVorlentFile;
typedef struct IVorlentSignature IVorlentSignature;
typedef struct IVorlentKey IVorlentKey;
typedef struct IVorlentKeyContext IVorlentKeyContext;
typedef struct IVorlentCrypt IVorlentCrypt;
typedef struct ICertChecker ICertChecker;

// A package.
#ifdef __cplusplus
struct IVorlent : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE New(TRANSACTION_TYPES enTransactionType, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Open(BSTR wsFilename, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Save(BSTR wsFilename, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Encrypt(IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Decrypt(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddFile(BSTR wsDocType, BSTR wsDocTypeCode, BSTR wsContentType,
                                            BSTR wsFilename, BSTR wsContent, IVorlentFile** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileCount(LONG* iResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFile(LONG iIndex, IVorlentFile** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsOpened(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE SignFile(BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReSignFile(BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileSignatureCount(LONG iIndex, LONG* iResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileSignature(LONG iFileIndex, LONG iSignIndex,
                                                     IVorlentSignature** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileResignCount(LONG iFileIndex, LONG iSignIndex, LONG* iResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFileResign(LONG iFileIndex, LONG iSignIndex, LONG iResignIndex,
                                                  IVorlentSignature** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsEncrypted(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SenderType(SIGN_ROLE_TYPES* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SenderType(SIGN_ROLE_TYPES Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SenderIdentifier(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SenderIdentifier(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ReceiverType(SIGN_ROLE_TYPES* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ReceiverType(SIGN_ROLE_TYPES Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ReceiverIdentifier(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ReceiverIdentifier(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DocTransactType(TRANSACTION_TYPES* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DocTransactType(TRANSACTION_TYPES Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteFile(LONG iFileIndex, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteFileSignatures(LONG iFileIndex, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteFileResignatures(LONG iFileIndex, LONG iSignIndex,
                                                           VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE EncryptByCertificate(BSTR wsCertBody, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FlagUsageUserStorage(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_FlagUsageUserStorage(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteFileSignature(LONG iFileIndex, LONG iSignIndex,
                                                        VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Version(BSTR* Value) = 0;

 protected:
  ~IVorlent() = default;
};
#else
typedef struct IVorlentVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IVorlent* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IVorlent* This);
  ULONG(STDMETHODCALLTYPE* Release)(IVorlent* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IVorlent* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(IVorlent* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (IVorlent* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (IVorlent* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // IVorlent
  HRESULT(STDMETHODCALLTYPE* New)(IVorlent* This, TRANSACTION_TYPES enTransactionType, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Open)(IVorlent* This, BSTR wsFilename, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Close)(IVorlent* This, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Save)(IVorlent* This, BSTR wsFilename, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Encrypt)(IVorlent* This, IVorlentKey* pKey, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Decrypt)(IVorlent* This, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* AddFile)
  (IVorlent* This, BSTR wsDocType, BSTR wsDocTypeCode, BSTR wsContentType, BSTR wsFilename, BSTR wsContent,
   IVorlentFile** pResult);
  HRESULT(STDMETHODCALLTYPE* GetFileCount)(IVorlent* This, LONG* iResult);
  HRESULT(STDMETHODCALLTYPE* GetFile)(IVorlent* This, LONG iIndex, IVorlentFile** pResult);
  HRESULT(STDMETHODCALLTYPE* IsOpened)(IVorlent* This, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* SignFile)
  (IVorlent* This, BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* ReSignFile)
  (IVorlent* This, BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* GetFileSignatureCount)(IVorlent* This, LONG iIndex, LONG* iResult);
  HRESULT(STDMETHODCALLTYPE* GetFileSignature)
  (IVorlent* This, LONG iFileIndex, LONG iSignIndex, IVorlentSignature** pResult);
  HRESULT(STDMETHODCALLTYPE* GetFileResignCount)
  (IVorlent* This, LONG iFileIndex, LONG iSignIndex, LONG* iResult);
  HRESULT(STDMETHODCALLTYPE* GetFileResign)
  (IVorlent* This, LONG iFileIndex, LONG iSignIndex, LONG iResignIndex, IVorlentSignature** pResult);
  HRESULT(STDMETHODCALLTYPE* get_IsEncrypted)(IVorlent* This, VARIANT_BOOL* Value);
  HRESULT(STDMETHODCALLTYPE* get_SenderType)(IVorlent* This, SIGN_ROLE_TYPES* Value);
  HRESULT(STDMETHODCALLTYPE* put_SenderType)(IVorlent* This, SIGN_ROLE_TYPES Value);
  HRESULT(STDMETHODCALLTYPE* get_SenderIdentifier)(IVorlent* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_SenderIdentifier)(IVorlent* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_ReceiverType)(IVorlent* This, SIGN_ROLE_TYPES* Value);
  HRESULT(STDMETHODCALLTYPE* put_ReceiverType)(IVorlent* This, SIGN_ROLE_TYPES Value);
  HRESULT(STDMETHODCALLTYPE* get_ReceiverIdentifier)(IVorlent* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_ReceiverIdentifier)(IVorlent* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_DocTransactType)(IVorlent* This, TRANSACTION_TYPES* Value);
  HRESULT(STDMETHODCALLTYPE* put_DocTransactType)(IVorlent* This, TRANSACTION_TYPES Value);
  HRESULT(STDMETHODCALLTYPE* DeleteFile)(IVorlent* This, LONG iFileIndex, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* DeleteFileSignatures)(IVorlent* This, LONG iFileIndex, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* DeleteFileResignatures)
  (IVorlent* This, LONG iFileIndex, LONG iSignIndex, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* EncryptByCertificate)(IVorlent* This, BSTR wsCertBody, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* get_FlagUsageUserStorage)(IVorlent* This, VARIANT_BOOL* Value);
  HRESULT(STDMETHODCALLTYPE* put_FlagUsageUserStorage)(IVorlent* This, VARIANT_BOOL Value);
  HRESULT(STDMETHODCALLTYPE* DeleteFileSignature)
  (IVorlent* This, LONG iFileIndex, LONG iSignIndex, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* get_LastError)(IVorlent* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* get_Version)(IVorlent* This, BSTR* Value);
} IVorlentVtbl;
struct IVorlent {
  const struct IVorlentVtbl* lpVtbl;
};
#endif

// A document of an open package.
#ifdef __cplusplus
struct IVorlentFile : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_DocType(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DocTypeCode(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DocTypeCode(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ContentType(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ContentType(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsCompressed(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsEncrypted(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DocumentCode(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DocumentCode(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_OriginalFilename(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_OriginalFilename(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Filename(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Filename(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckSign(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Sign(IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE Resign(IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RawContent(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckSignEx(VARIANT_BOOL bDownloadContent, VARIANT_BOOL bCheckCRL,
                                                VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddSign(BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole,
                                            VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE SaveRawContent(BSTR wsFilename) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;

 protected:
  ~IVorlentFile() = default;
};
#else
typedef struct IVorlentFileVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IVorlentFile* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IVorlentFile* This);
  ULONG(STDMETHODCALLTYPE* Release)(IVorlentFile* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IVorlentFile* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(IVorlentFile* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (IVorlentFile* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (IVorlentFile* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // IVorlentFile
  HRESULT(STDMETHODCALLTYPE* get_DocType)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* get_DocTypeCode)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_DocTypeCode)(IVorlentFile* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_ContentType)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_ContentType)(IVorlentFile* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_IsCompressed)(IVorlentFile* This, VARIANT_BOOL* Value);
  HRESULT(STDMETHODCALLTYPE* get_IsEncrypted)(IVorlentFile* This, VARIANT_BOOL* Value);
  HRESULT(STDMETHODCALLTYPE* get_DocumentCode)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_DocumentCode)(IVorlentFile* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_OriginalFilename)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_OriginalFilename)(IVorlentFile* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_Filename)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_Filename)(IVorlentFile* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* CheckSign)(IVorlentFile* This, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Sign)(IVorlentFile* This, IVorlentKey* pKey, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* Resign)(IVorlentFile* This, IVorlentKey* pKey, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* get_RawContent)(IVorlentFile* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* CheckSignEx)
  (IVorlentFile* This, VARIANT_BOOL bDownloadContent, VARIANT_BOOL bCheckCRL, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* AddSign)
  (IVorlentFile* This, BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* SaveRawContent)(IVorlentFile* This, BSTR wsFilename);
  HRESULT(STDMETHODCALLTYPE* get_LastError)(IVorlentFile* This, BSTR* Value);
} IVorlentFileVtbl;
struct IVorlentFile {
  const struct IVorlentFileVtbl* lpVtbl;
};
#endif

// A signature or counter-signature of a document.
#ifdef __cplusplus
struct IVorlentSignature : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Filename(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Filename(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SignKey(IVorlentKey** Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddSign(BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole,
                                            VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SignatureContent(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;

 protected:
  ~IVorlentSignature() = default;
};
#else
typedef struct IVorlentSignatureVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IVorlentSignature* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IVorlentSignature* This);
  ULONG(STDMETHODCALLTYPE* Release)(IVorlentSignature* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IVorlentSignature* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)
  (IVorlentSignature* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (IVorlentSignature* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (IVorlentSignature* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // IVorlentSignature
  HRESULT(STDMETHODCALLTYPE* get_Filename)(IVorlentSignature* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_Filename)(IVorlentSignature* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_SignKey)(IVorlentSignature* This, IVorlentKey** Value);
  HRESULT(STDMETHODCALLTYPE* AddSign)
  (IVorlentSignature* This, BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* get_SignatureContent)(IVorlentSignature* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* get_LastError)(IVorlentSignature* This, BSTR* Value);
} IVorlentSignatureVtbl;
struct IVorlentSignature {
  const struct IVorlentSignatureVtbl* lpVtbl;
};
#endif

// A certificate with its private-key container and signer role.
#ifdef __cplusplus
struct IVorlentKey : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_ContainerName(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ContainerName(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Sha1(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Sha1(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SubjectCN(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SubjectCN(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SignRole(SIGN_ROLE_TYPES* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SignRole(SIGN_ROLE_TYPES Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_CertificateBody(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_CertificateBody(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Subject(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Subject(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Issuer(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Issuer(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Init() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SubjectSN(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SubjectSN(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SubjectG(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SubjectG(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FlagCurrentUserStorage(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_FlagCurrentUserStorage(VARIANT_BOOL Value) = 0;

 protected:
  ~IVorlentKey() = default;
};
#else
typedef struct IVorlentKeyVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IVorlentKey* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IVorlentKey* This);
  ULONG(STDMETHODCALLTYPE* Release)(IVorlentKey* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IVorlentKey* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(IVorlentKey* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (IVorlentKey* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (IVorlentKey* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // IVorlentKey
  HRESULT(STDMETHODCALLTYPE* get_ContainerName)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_ContainerName)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_Sha1)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_Sha1)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_SubjectCN)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_SubjectCN)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_SignRole)(IVorlentKey* This, SIGN_ROLE_TYPES* Value);
  HRESULT(STDMETHODCALLTYPE* put_SignRole)(IVorlentKey* This, SIGN_ROLE_TYPES Value);
  HRESULT(STDMETHODCALLTYPE* get_CertificateBody)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_CertificateBody)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_Subject)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_Subject)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_Issuer)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_Issuer)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* Init)(IVorlentKey* This);
  HRESULT(STDMETHODCALLTYPE* get_LastError)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* get_SubjectSN)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_SubjectSN)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_SubjectG)(IVorlentKey* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* put_SubjectG)(IVorlentKey* This, BSTR Value);
  HRESULT(STDMETHODCALLTYPE* get_FlagCurrentUserStorage)(IVorlentKey* This, VARIANT_BOOL* Value);
  HRESULT(STDMETHODCALLTYPE* put_FlagCurrentUserStorage)(IVorlentKey* This, VARIANT_BOOL Value);
} IVorlentKeyVtbl;
struct IVorlentKey {
  const struct IVorlentKeyVtbl* lpVtbl;
};
#endif

// The library's own access to the certificate behind a key object (not for automation:
// no dispatch identifiers). The handle is the library's certificate object.
#ifdef __cplusplus
struct IVorlentKeyContext : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetCertificateHandle(void** phCertificate) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCertificateHandle(void* hCertificate) = 0;

 protected:
  ~IVorlentKeyContext() = default;
};
#else
typedef struct IVorlentKeyContextVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IVorlentKeyContext* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IVorlentKeyContext* This);
  ULONG(STDMETHODCALLTYPE* Release)(IVorlentKeyContext* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IVorlentKeyContext* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)
  (IVorlentKeyContext* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (IVorlentKeyContext* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (IVorlentKeyContext* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // IVorlentKeyContext
  HRESULT(STDMETHODCALLTYPE* GetCertificateHandle)(IVorlentKeyContext* This, void** phCertificate);
  HRESULT(STDMETHODCALLTYPE* SetCertificateHandle)(IVorlentKeyContext* This, void* hCertificate);
} IVorlentKeyContextVtbl;
struct IVorlentKeyContext {
  const struct IVorlentKeyContextVtbl* lpVtbl;
};
#endif

// Key management.
#ifdef __cplusplus
struct IVorlentCrypt : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Init(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPrivateKeyCount(LONG* iResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPrivateKey(LONG iIndex, IVorlentKey** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOpponentKeyCount(LONG* iResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOpponentKey(LONG iIndex, IVorlentKey** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ImportP7BChain(BSTR wsP7BFileContent) = 0;
  virtual HRESULT STDMETHODCALLTYPE ImportOpponentCertificate(BSTR wsCertificateBody,
                                                              IVorlentKey** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ImportPrivateCertificate(BSTR wsCertificateBody, BSTR wsContainerName,
                                                             IVorlentKey** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckSignature(BSTR wsContent, BSTR wsSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContainerCount(LONG* iResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContainer(LONG iIndex, BSTR* wsResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOpponentKeyBySha1(BSTR wsSha1, IVorlentKey** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPrivateKeyBySha1(BSTR wsSha1, IVorlentKey** pResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsCryptographyOk(VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FlagUsageUserStorage(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_FlagUsageUserStorage(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE LinkPrivateKey(IVorlentKey* pKey, VARIANT_BOOL bCaching) = 0;
  virtual HRESULT STDMETHODCALLTYPE SignFile(BSTR wsFilename, IVorlentKey* pKey, BSTR wsSignFileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPrivateKeyCaching(IVorlentKey* pKey, VARIANT_BOOL bCaching) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE DownloadFile(BSTR wsUrl, BSTR wsFilename) = 0;

 protected:
  ~IVorlentCrypt() = default;
};
#else
typedef struct IVorlentCryptVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IVorlentCrypt* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(IVorlentCrypt* This);
  ULONG(STDMETHODCALLTYPE* Release)(IVorlentCrypt* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(IVorlentCrypt* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(IVorlentCrypt* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (IVorlentCrypt* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (IVorlentCrypt* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // IVorlentCrypt
  HRESULT(STDMETHODCALLTYPE* Init)(IVorlentCrypt* This, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* GetPrivateKeyCount)(IVorlentCrypt* This, LONG* iResult);
  HRESULT(STDMETHODCALLTYPE* GetPrivateKey)(IVorlentCrypt* This, LONG iIndex, IVorlentKey** pResult);
  HRESULT(STDMETHODCALLTYPE* GetOpponentKeyCount)(IVorlentCrypt* This, LONG* iResult);
  HRESULT(STDMETHODCALLTYPE* GetOpponentKey)(IVorlentCrypt* This, LONG iIndex, IVorlentKey** pResult);
  HRESULT(STDMETHODCALLTYPE* ImportP7BChain)(IVorlentCrypt* This, BSTR wsP7BFileContent);
  HRESULT(STDMETHODCALLTYPE* ImportOpponentCertificate)
  (IVorlentCrypt* This, BSTR wsCertificateBody, IVorlentKey** pResult);
  HRESULT(STDMETHODCALLTYPE* ImportPrivateCertificate)
  (IVorlentCrypt* This, BSTR wsCertificateBody, BSTR wsContainerName, IVorlentKey** pResult);
  HRESULT(STDMETHODCALLTYPE* CheckSignature)(IVorlentCrypt* This, BSTR wsContent, BSTR wsSignature);
  HRESULT(STDMETHODCALLTYPE* GetContainerCount)(IVorlentCrypt* This, LONG* iResult);
  HRESULT(STDMETHODCALLTYPE* GetContainer)(IVorlentCrypt* This, LONG iIndex, BSTR* wsResult);
  HRESULT(STDMETHODCALLTYPE* GetOpponentKeyBySha1)(IVorlentCrypt* This, BSTR wsSha1, IVorlentKey** pResult);
  HRESULT(STDMETHODCALLTYPE* GetPrivateKeyBySha1)(IVorlentCrypt* This, BSTR wsSha1, IVorlentKey** pResult);
  HRESULT(STDMETHODCALLTYPE* IsCryptographyOk)(IVorlentCrypt* This, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* get_FlagUsageUserStorage)(IVorlentCrypt* This, VARIANT_BOOL* Value);
  HRESULT(STDMETHODCALLTYPE* put_FlagUsageUserStorage)(IVorlentCrypt* This, VARIANT_BOOL Value);
  HRESULT(STDMETHODCALLTYPE* LinkPrivateKey)(IVorlentCrypt* This, IVorlentKey* pKey, VARIANT_BOOL bCaching);
  HRESULT(STDMETHODCALLTYPE* SignFile)
  (IVorlentCrypt* This, BSTR wsFilename, IVorlentKey* pKey, BSTR wsSignFileName);
  HRESULT(STDMETHODCALLTYPE* SetPrivateKeyCaching)
  (IVorlentCrypt* This, IVorlentKey* pKey, VARIANT_BOOL bCaching);
  HRESULT(STDMETHODCALLTYPE* get_LastError)(IVorlentCrypt* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* DownloadFile)(IVorlentCrypt* This, BSTR wsUrl, BSTR wsFilename);
} IVorlentCryptVtbl;
struct IVorlentCrypt {
  const struct IVorlentCryptVtbl* lpVtbl;
};
#endif

// Checks of a signer's certificate.
#ifdef __cplusplus
struct ICertChecker : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Init(BSTR wsP7BFileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckFormal(IVorlentKey* pKey) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckIssuer(IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE CheckCrl(IVorlentKey* pKey, VARIANT_BOOL* bResult) = 0;

 protected:
  ~ICertChecker() = default;
};
#else
typedef struct ICertCheckerVtbl {
  // IUnknown
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(ICertChecker* This, REFIID riid, void** ppvObject);
  ULONG(STDMETHODCALLTYPE* AddRef)(ICertChecker* This);
  ULONG(STDMETHODCALLTYPE* Release)(ICertChecker* This);
  // IDispatch
  HRESULT(STDMETHODCALLTYPE* GetTypeInfoCount)(ICertChecker* This, UINT* pctinfo);
  HRESULT(STDMETHODCALLTYPE* GetTypeInfo)(ICertChecker* This, UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
  HRESULT(STDMETHODCALLTYPE* GetIDsOfNames)
  (ICertChecker* This, REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
  HRESULT(STDMETHODCALLTYPE* Invoke)
  (ICertChecker* This, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  // ICertChecker
  HRESULT(STDMETHODCALLTYPE* Init)(ICertChecker* This, BSTR wsP7BFileName);
  HRESULT(STDMETHODCALLTYPE* CheckFormal)(ICertChecker* This, IVorlentKey* pKey);
  HRESULT(STDMETHODCALLTYPE* CheckIssuer)(ICertChecker* This, IVorlentKey* pKey, VARIANT_BOOL* bResult);
  HRESULT(STDMETHODCALLTYPE* get_LastError)(ICertChecker* This, BSTR* Value);
  HRESULT(STDMETHODCALLTYPE* CheckCrl)(ICertChecker* This, IVorlentKey* pKey, VARIANT_BOOL* bResult);
} ICertCheckerVtbl;
struct ICertChecker {
  const struct ICertCheckerVtbl* lpVtbl;
};
#endif

// ---------------------------------------------------------------- interface identifiers by type

#ifdef __cplusplus
template <class I>
struct QvInterfaceId;
#define QV_INTERFACE_ID(I)                                \
  template <>                                             \
  struct QvInterfaceId<I> {                               \
    static constexpr const IID& iid() { return IID_##I; } \
  }
QV_INTERFACE_ID(IUnknown);
QV_INTERFACE_ID(IDispatch);
QV_INTERFACE_ID(ITypeInfo);
QV_INTERFACE_ID(IErrorInfo);
QV_INTERFACE_ID(ISupportErrorInfo);
QV_INTERFACE_ID(IClassFactory);
QV_INTERFACE_ID(IVorlent);
QV_INTERFACE_ID(IVorlentFile);
QV_INTERFACE_ID(IVorlentSignature);
QV_INTERFACE_ID(IVorlentKey);
QV_INTERFACE_ID(IVorlentKeyContext);
QV_INTERFACE_ID(IVorlentCrypt);
QV_INTERFACE_ID(ICertChecker);
#undef QV_INTERFACE_ID
#endif
