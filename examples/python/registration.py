#!/usr/bin/env python3
"""The registration flow from Python, end to end, with a test PKI made by openssl:

  the sender  imports the authorities and the keys of the applicant and the notary, makes a
              package of three documents, signs them as the applicant, counter-signs the
              application as the notary, encrypts for the tax authority and saves it;
  the receiver imports the tax authority's key, opens and decrypts the package, checks every
              signature against the installed authorities (no downloads), saves the documents.

Usage: registration.py [FOLDER] [--pki PKI]
  FOLDER  where everything goes (default ./qelvorlent-python-demo; emptied first)
  PKI     a folder holding root.pem, inter.pem and applicant, notary, tax (.key, .cer); by
          default the example issues them itself into FOLDER/pki with the openssl command
          and the GOST engine (packages openssl and libengine-gost-openssl). The chain of the
          two authorities is bundled into PKI/chain.p7b either way.

Installed (python3-qelvorlent):
  python3 /usr/share/doc/python3-qelvorlent/examples/registration.py
From the build tree:
  QELVORLENT_LIBRARY=build/src/automation/libqelvorlent.so.1 PYTHONPATH=python \
      python3 examples/python/registration.py
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys

import qelvorlent

# The test PKI: an openssl configuration that loads the GOST engine for every algorithm, a
# root and an intermediate authority, and the end certificates the intermediate issues.
OPENSSL_CNF = """\
openssl_conf = openssl_def
[openssl_def]
engines = engine_section
[engine_section]
gost = gost_section
[gost_section]
engine_id = gost
default_algorithms = ALL
[req]
distinguished_name = dn
utf8 = yes
string_mask = utf8only
[dn]
[v3_ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[v3_user]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, keyAgreement
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""
ROOT = "/C=RU/O=Учебный УЦ/CN=Учебный корневой УЦ"
INTERMEDIATE = "/C=RU/O=Учебный УЦ/CN=Учебный подчинённый УЦ"
HOLDERS = [("applicant", "/C=RU/SN=Иванов/GN=Иван Иванович/CN=Иванов Иван Иванович"),
           ("notary", "/C=RU/SN=Петров/GN=Пётр Петрович/CN=Нотариус Петров Пётр Петрович"),
           ("tax", "/C=RU/O=Налоговый орган/CN=Налоговый орган 7746")]


def openssl(folder: str, *args: str) -> None:
    """Runs the openssl command in ``folder``, with its openssl.cnf (the GOST engine) when there is one."""
    env = dict(os.environ)
    if os.path.exists(os.path.join(folder, "openssl.cnf")):
        env["OPENSSL_CONF"] = os.path.join(folder, "openssl.cnf")
    done = subprocess.run(["openssl", *args], cwd=folder, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"openssl {args[0]}: {done.stderr.strip()}")


def issue(pki: str, name: str, subject: str, issuer: str, extensions: str, days: int, serial: int, out: str) -> None:
    """The certificate of NAME.key issued by ISSUER (.pem, .key): PEM, or DER for a .cer file."""
    openssl(pki, "req", "-new", "-key", name + ".key", "-md_gost12_256", "-subj", subject, "-out", name + ".csr")
    openssl(pki, "x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey", issuer + ".key",
            "-set_serial", str(serial), "-days", str(days), "-md_gost12_256", "-extfile", "openssl.cnf",
            "-extensions", extensions, "-outform", "DER" if out.endswith(".cer") else "PEM", "-out", out)


def make_pki(pki: str) -> None:
    """Keys GOST R 34.10-2012 (256); the root self-signed, the intermediate issued by it, the
    holders' certificates by the intermediate; all valid from now on."""
    if not shutil.which("openssl"):
        sys.exit("нет команды openssl: установите пакеты openssl и libengine-gost-openssl или укажите PKI ключом --pki")
    os.makedirs(pki)
    with open(os.path.join(pki, "openssl.cnf"), "w", encoding="utf-8") as cnf:
        cnf.write(OPENSSL_CNF)
    for name in ["root", "inter"] + [name for name, _ in HOLDERS]:
        openssl(pki, "genpkey", "-algorithm", "gost2012_256", "-pkeyopt", "paramset:A", "-out", name + ".key")
    openssl(pki, "req", "-new", "-x509", "-key", "root.key", "-md_gost12_256", "-subj", ROOT, "-days", "3650",
            "-extensions", "v3_ca", "-set_serial", "4096", "-out", "root.pem")
    issue(pki, "inter", INTERMEDIATE, "root", "v3_ca", 3000, 4097, "inter.pem")
    for serial, (name, subject) in enumerate(HOLDERS, 4098):
        issue(pki, name, subject, "inter", "v3_user", 365, serial, name + ".cer")


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def use_home(folder: str) -> None:
    """A side of the exchange: its own key sets, certificate stores and registry."""
    for name in ("home", "tmp"):
        os.makedirs(os.path.join(folder, name), exist_ok=True)
    os.environ["QELVORLENT_HOME"] = os.path.join(folder, "home")
    os.environ["QELVORLENT_REGISTRY"] = os.path.join(folder, "registry")
    os.environ["TMP"] = os.environ["TMPDIR"] = os.path.join(folder, "tmp")
    qelvorlent.register_server()


def provision(pki: str, names_roles) -> dict:
    """The authorities installed and each key in a container with its certificate in "MY"."""
    keys = {}
    with qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt") as crypt:
        crypt.FlagUsageUserStorage = True
        crypt.Init()
        crypt.ImportP7BChain(read(os.path.join(pki, "chain.p7b")))
        for name, role in names_roles:
            qelvorlent.import_key(name, read(os.path.join(pki, name + ".key")))
            key = crypt.ImportPrivateCertificate(read(os.path.join(pki, name + ".cer")), name)
            key.SignRole = role
            keys[name] = key
            print(f"  ключ {name}: {key.SubjectCN} [{key.Sha1}]")
    return keys


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default="qelvorlent-python-demo")
    parser.add_argument("--pki")
    options = parser.parse_args()
    folder = os.path.abspath(options.folder)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    pki = os.path.abspath(options.pki) if options.pki else os.path.join(folder, "pki")
    if not options.pki:
        make_pki(pki)
    openssl(pki, "crl2pkcs7", "-nocrl", "-certfile", "root.pem", "-certfile", "inter.pem", "-outform", "DER", "-out",
            "chain.p7b")
    package_path = os.path.join(folder, "package.zip")
    documents = {
        "заявление.xml": ("01", '<?xml version="1.0" encoding="windows-1251"?><Заявление/>'.encode("utf-8")),
        "устав.pdf": ("03", b"%PDF-1.4 " + bytes(range(256))),
        "квитанция.pdf": ("04", b"%PDF-1.4 fee\0receipt"),
    }

    print("== отправитель")
    use_home(os.path.join(folder, "sender"))
    keys = provision(pki, [("applicant", qelvorlent.SIGN_ROLE_TYPE_APPLICANT),
                           ("notary", qelvorlent.SIGN_ROLE_TYPE_NOTARY)])
    tax = qelvorlent.key_from_certificate(read(os.path.join(pki, "tax.cer")))
    tax.SignRole = qelvorlent.SIGN_ROLE_TYPE_FNS
    with qelvorlent.Dispatch("QelVorlentLib.Vorlent") as package:
        package.New(qelvorlent.TRANSACTION_TYPE_UL_REG_UL)
        package.SenderType = qelvorlent.SIGN_ROLE_TYPE_ABONENT
        package.SenderIdentifier = "2BM-7701234567-770101001"
        package.ReceiverType = qelvorlent.SIGN_ROLE_TYPE_FNS
        package.ReceiverIdentifier = "7746"
        for name, (code, content) in documents.items():
            file = package.AddFile("", code, "application/octet-stream", "/docs/" + name, content)
            print(f"  документ {name}: {file.DocType}")
            package.SignFile(name, keys["applicant"])
        package.ReSignFile("заявление.xml", keys["notary"])
        package.Encrypt(tax)
        package.Save(package_path)  # str or pathlib.Path
        print(f"  подписан, заверен, зашифрован: {package_path}")
    del keys, tax

    print("== получатель")
    use_home(os.path.join(folder, "receiver"))
    provision(pki, [("tax", qelvorlent.SIGN_ROLE_TYPE_FNS)])
    extracted = os.path.join(folder, "extracted")
    os.makedirs(extracted)
    failures = 0
    with qelvorlent.Dispatch("QelVorlentLib.Vorlent") as package:
        package.Open(package_path)
        package.Decrypt()
        print(f"  отправитель {package.SenderIdentifier}, документов {len(package)}")
        for i, file in enumerate(package):
            name = file.OriginalFilename
            same = file.RawContent == documents[name][1]
            file.SaveRawContent(pathlib.Path(extracted, name))
            try:
                file.CheckSignEx(False, False)
                verdict = "подписи верны"
            except qelvorlent.Error as error:
                verdict = f"ОШИБКА: {error.message}"
                failures += 1
            signers = []
            for j, signature in enumerate(package.signatures(i)):
                signers.append(signature.SignKey.SubjectCN)
                signers += [countersignature.SignKey.SubjectCN for countersignature in package.countersignatures(i, j)]
            print(f"  {name}: {'тот же' if same else 'ИЗМЕНЁН'}, {verdict}; {', '.join(signers)}")
            failures += 0 if same else 1
    print("== итог:", "всё верно" if failures == 0 else f"ошибок: {failures}")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
