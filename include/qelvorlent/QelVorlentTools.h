// Key provisioning and detached-signature checks with each check chosen on its own: the
// library's own additions for tools such as the `vorlent` command, beside the automation
// interfaces of QelVorlentLib.h. A plain C interface exported by libqelvorlent.so; texts
// are UTF-8. Memory the library hands out is freed with QvToolFree. A failure returns a
// negative status and leaves its message (UTF-8) for QvToolLastError on the calling thread.
#pragma once

#include "qelvorlent/QelVorlentLib.h"

#ifdef __cplusplus
extern "C" {
#endif

enum QvKeyAlgorithm { QV_KEY_GOST2012_256 = 1, QV_KEY_GOST2012_512 = 2 };

// Checks of QvToolCheckDetachedSignature besides the signature itself.
enum QvSignatureChecks {
  QV_CHECK_CHAIN = 1,      // the signer's chain up to a trusted root
  QV_CHECK_CRL = 2,        // revocation of every certificate of the chain
  QV_CHECK_DOWNLOAD = 4,   // fetch missing authority certificates and revocation lists
  QV_CHECK_ONE_SIGNER = 8  // a signature of a package: refused with more than one signer
};

// Asked for the PIN of a key container; returns nonzero with the PIN written into `pin`
// (at most `size` bytes with the terminating zero), 0 to refuse.
typedef int (*QvPinPrompt)(const char* containerName, char* pin, size_t size, void* context);

// The message of the calling thread's last failure, empty after a success.
STDAPI_(const char*) QvToolLastError(void);
STDAPI_(void) QvToolFree(void* memory);

// Installs the prompt used when a key is protected by a PIN and QELVORLENT_PIN is not set
// (null removes it).
STDAPI_(void) QvToolSetPinPrompt(QvPinPrompt prompt, void* context);

// Makes the key container `name` of the user's key set with a new key and returns a
// PKCS #10 request (PEM) for `subject` ("/CN=.../O=.../INN=..."). A non-empty `pin`
// protects the key.
STDAPI QvToolCreateContainer(const char* name, int algorithm, const char* subject, const char* pin,
                             char** requestPem);

// Imports a private key (PKCS #8, PEM or DER, plain or encrypted with `password`) or a
// PKCS #12 file into the new container `name`. For PKCS #12 the certificate's DER bytes are
// returned in *certificate (else null).
STDAPI QvToolImportKey(const char* name, const void* data, size_t size, const char* password, const char* pin,
                       void** certificate, size_t* certificateSize);

// Imports a key of a key-container folder of the commercial GOST providers' file format
// (header.key, primary.key, masks.key, ...) into the new container `name` of the user's key set,
// and puts the certificate header.key keeps for the key, when it has one, into "MY" bound to
// the new container. `pin` null: no PIN when the container has none, else QELVORLENT_PIN, else
// the PIN prompt; the new container is protected by the PIN that opened the key. `slot` 0 takes
// the key with a certificate, 1 or 2 the first or second key. *sha1 (may be null) receives the
// certificate's thumbprint (upper-case hexadecimal), null without a certificate. Nothing is
// written when the PIN is wrong, the folder is damaged or the key is not the certificate's.
STDAPI QvToolImportContainer(const char* folder, const char* name, const char* pin, int slot, char** sha1);

// A key object for a certificate (PEM or DER), for the checks of ICertChecker.
STDAPI QvToolKeyFromCertificate(const void* data, size_t size, IVorlentKey** key);

// Verifies the detached CMS signature over `content` with the checks chosen. Every signer of
// the signature is verified (and chained, with QV_CHECK_CHAIN); one that is not fails the
// whole. On success *signers (may be null) receives a line per signer: "thumbprint\tsubject\t
// signing time\n".
STDAPI QvToolCheckDetachedSignature(const void* content, size_t contentSize, const void* signature,
                                    size_t signatureSize, int checks, char** signers);
// The same over the content of the file `contentFile`, read in pieces: memory stays small
// whatever the file's size.
STDAPI QvToolCheckDetachedSignatureOfFile(const char* contentFile, const void* signature,
                                          size_t signatureSize, int checks, char** signers);
// The same over the content of the document `file` of an opened package (what
// IVorlentFile::get_RawContent gives), without a copy of it; as a signature of a package it
// must have one signer (QV_CHECK_ONE_SIGNER is implied).
STDAPI QvToolCheckDetachedSignatureOfDocument(IVorlentFile* file, const void* signature, size_t signatureSize,
                                              int checks, char** signers);

// Opens a verification run on the calling thread until QvToolEndVerification: the checks of
// QvToolCheckDetachedSignature in between (a package's signatures, say) fetch each URL at
// most once and share the bounds of one verification (the number and bytes of downloads).
// Without a run every check is a run of its own. Opening an open run changes nothing.
STDAPI QvToolBeginVerification(void);
STDAPI_(void) QvToolEndVerification(void);
// Inside a run: digests the plain documents of `package` by the algorithms their signatures
// name, the documents on several threads at once, so that the checks of
// QvToolCheckDetachedSignatureOfDocument that follow in the run take those digests instead of
// reading each document through again. Changes no outcome; outside a run it does nothing.
STDAPI QvToolDigestDocuments(IVorlent* package);

// One package of QvToolReceive as it ended. The texts live until the callback returns.
typedef struct QvReceivedPackage {
  const char* package;        // the path as given
  const char* folder;         // the folder made for it, null when it failed
  int ok;                     // nonzero: decrypted, every signature held, its folder made
  size_t documents;           // documents in the package
  size_t signatures;          // signatures and counter-signatures checked
  const char* const* errors;  // `errorCount` messages, one per failure
  size_t errorCount;
} QvReceivedPackage;

// Called for each package as it ends, one call at a time whatever the number of threads (on
// one of the batch's threads); nonzero stops the batch once the packages in progress end.
typedef int (*QvReceiveCallback)(const QvReceivedPackage* result, void* context);

// The largest number of threads of QvToolReceive.
#define QV_RECEIVE_MAX_JOBS 64

// Receives a batch of `count` packages: each is opened and decrypted in memory (its file is
// never changed), every signature and counter-signature is verified with `checks` (as
// QvToolCheckDetachedSignature's; one signer each), and its documents and signature files go
// to `directory`/<package file name without .zip>. The folder is written as a hidden
// temporary one beside it and renamed when complete: a package that fails leaves nothing,
// and no folder already there is replaced. The whole batch is one verification run: each URL
// is fetched once for all packages, within the bounds of a batch, each package also within
// those of a run of its own. `jobs` threads (0: one per processor; at most
// QV_RECEIVE_MAX_JOBS) take the packages in order, each on its own objects. S_OK when every
// package held, S_FALSE when some failed; E_ABORT when the callback stopped the batch before
// every package had started; a negative status when the batch could not start.
STDAPI QvToolReceive(const char* const* packages, size_t count, const char* directory, int checks, int jobs,
                     QvReceiveCallback callback, void* context);

// The signing time of the first signer of a CMS signature ("YYYY-MM-DDThh:mm:ssZ") in
// *text, empty when the signature carries none.
STDAPI QvToolSigningTime(const void* signature, size_t size, char** text);

// The certificate stores by the library's names: "MY", "ROOT", "CA", "addressbook"; `machine`
// nonzero chooses the local machine's, else the current user's.
// Every certificate of a store, in the store's order, as PEM in *pem (empty for none).
STDAPI QvToolStoreCertificates(int machine, const char* store, char** pem);
// Adds a certificate (PEM or DER) to a store; one that is there already stays as it is,
// with its binding to a key container. *sha1 (may be null) receives its thumbprint.
STDAPI QvToolStoreAdd(int machine, const char* store, const void* certificate, size_t size, char** sha1);
// Removes the certificate with the thumbprint `sha1` (40 hexadecimal digits) from a store.
STDAPI QvToolStoreRemove(int machine, const char* store, const char* sha1);

// A CMS EnvelopedData (DER) of `content` for the recipient's certificate (PEM or DER).
STDAPI QvToolEncrypt(const void* content, size_t contentSize, const void* certificate, size_t certificateSize,
                     void** encrypted, size_t* encryptedSize);
// The content of a CMS EnvelopedData (DER) for a recipient whose certificate in the store
// "MY" (of the machine when `machine` is nonzero) is bound to its key container.
STDAPI QvToolDecrypt(int machine, const void* encrypted, size_t encryptedSize, void** content,
                     size_t* contentSize);

// The document flow and the special operator of the opened package object `package`, as its
// manifest names them: the flow's code, type and identifier; the special operator's identifier
// and subject type (both empty when the package names none).
STDAPI QvToolPackageFlow(IVorlent* package, char** flowCode, char** flowType, char** flowIdentifier,
                         char** operatorIdentifier, char** operatorType);

// IVorlent::AddFile of the package object `package` with the content as `size` bytes at
// `content` instead of a string of characters: the same document, without a wide copy of it.
STDAPI QvToolAddFile(IVorlent* package, const char* docTypeCode, const char* contentType,
                     const char* fileName, const void* content, size_t size, IVorlentFile** file);

// The same with the content read from the open file descriptor `fd` to its end, straight into
// the library's own buffer.
STDAPI QvToolAddFileFrom(IVorlent* package, const char* docTypeCode, const char* contentType,
                         const char* fileName, int fd, IVorlentFile** file);

// IVorlentFile::Sign with `key` on each of the `count` documents of the package object `package`
// at `files`, then IVorlent::Save to `path`, in one call: the documents are written into the new
// file while they are signed. A failure leaves the file at `path` as it was.
STDAPI QvToolSignAndSave(IVorlent* package, const LONG* files, size_t count, IVorlentKey* key,
                         const char* path);

// The content of a document (what IVorlentFile::get_RawContent gives) as bytes: its size in
// *size and, when `data` is not null, a copy in *data (freed with QvToolFree). The size alone
// does not read a large document that is still in the package file.
STDAPI QvToolFileContent(IVorlentFile* file, void** data, size_t* size);

// The same content written to the open file descriptor `fd` from its current position, without
// a copy of it.
STDAPI QvToolWriteFileContent(IVorlentFile* file, int fd);

#ifdef __cplusplus
}
#endif
