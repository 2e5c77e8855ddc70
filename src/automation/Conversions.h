// Conversions at the automation boundary: key records to key objects and back, package
// entries to their view objects.
#pragma once

#include <memory>

#include "automation/AutoObject.h"
#include "qelvorlent/QelVorlentLib.h"

namespace qv {

class CVorlentKey;
class CVorlentDocument;
class CVorlentSignature;

// A new key object (one reference, the caller's) with its own copy of the record's fields;
// the certificate is shared. "Передан пустой аргумент: %s" with "pСVorlentKey" for no record;
// "Неизвестная роль: [%d]" for a role without an interface value.
IVorlentKey* KeyToInterface(const CVorlentKey* record);
// Fills `record` from a key object: ContainerName, Sha1, SubjectCN, SignRole,
// CertificateBody, FlagCurrentUserStorage and the certificate (Subject, Issuer, SubjectSN
// and SubjectG are not copied). A failure status of the key object is raised with its
// message and status. A key object of another implementation, without the library's
// IVorlentKeyContext, gives a record without a certificate object.
void KeyFromInterface(IVorlentKey* key, CVorlentKey* record);
// A key argument of an interface member as a temporary record; a null key fails with
// "Передан пустой аргумент: %s" filled with `name` and status E_POINTER.
std::unique_ptr<CVorlentKey> KeyArgument(IVorlentKey* key, const char* name);

// New view objects (one reference, the caller's) that do not own their entry.
// "Передан пустой аргумент: %s" with "pCVorlentDocument" / "pCVorlentSignature" for none.
// `lock`: the lock of the package object the entry belongs to, shared by the view (see
// CAutoIntfObject::Lock); none gives the view a lock of its own.
IVorlentFile* FileToInterface(const std::shared_ptr<CVorlentDocument>& entry, const ObjectLock& lock = {});
IVorlentSignature* SignatureToInterface(const std::shared_ptr<CVorlentSignature>& entry,
                                        const ObjectLock& lock = {});

}  // namespace qv
