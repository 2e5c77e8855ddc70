#!/usr/bin/env python3
"""The Python binding against the build tree's library: objects by programmatic identifier,
names in any case, conversions, errors, release, and the registration flow end to end.

Run by ctest under pytest with PYTHONPATH at python/ and QELVORLENT_LIBRARY at the built
library; plain unittest runs it too."""

import os
import pathlib
import resource
import subprocess
import sys
import unittest

import qelvorlent
from isolation import IsolatedTest

SOURCE_DIR = os.environ.get("QV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ALL_BYTES = bytes(range(256))


def rss_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() // 1024


class BindingTest(IsolatedTest):
    def test_objects_by_name_with_properties_methods_and_returned_objects(self) -> None:
        with qelvorlent.Dispatch("QelVorlentLib.Vorlent") as package, \
                qelvorlent.Dispatch("{C693C20D-8187-43BF-BD00-C52BABDD8EBC}") as crypt:
            self.assertTrue(package.new(1))  # any letter case, methods and properties alike
            package.SenderType = qelvorlent.SIGN_ROLE_TYPE_ABONENT
            package.SENDERIDENTIFIER = "2BM-7701234567-770101001 Ёё"
            self.assertEqual(package.sendertype, 1)
            self.assertEqual(package.SenderIdentifier, "2BM-7701234567-770101001 Ёё")
            self.assertEqual(package.GetFileCount(), 0)
            # the last two by name, in another order and letter case
            file = package.AddFile("", "01", "application/pdf", wsContent=b"%PDF\x98",
                                   WSFILENAME="/docs/заявление.pdf")
            self.assertIsInstance(file, qelvorlent.Object)
            self.assertEqual(file.DocType, "ЗаявлениеЮЛ")
            self.assertEqual(file.OriginalFilename, "заявление.pdf")
            self.assertEqual(qelvorlent.to_bytes(file.RawContent), b"%PDF\x98")
            self.assertEqual(package.GetFileCount(), 1)
            self.assertEqual(package.GetFile(iIndex=0).DocType, "ЗаявлениеЮЛ")
            self.assertFalse(hasattr(package, "NoSuchMember"))

            crypt.FlagUsageUserStorage = False  # bool both ways
            self.assertIs(crypt.FlagUsageUserStorage, False)
            crypt.FlagUsageUserStorage = True
            self.assertIs(crypt.FlagUsageUserStorage, True)
            self.assertTrue(crypt.Init())
            self.assertEqual(crypt.GetPrivateKeyCount(), 0)

    def test_import_container_of_the_provider_with_its_certificate(self) -> None:
        data = os.path.join(SOURCE_DIR, "tests", "data", "provider-containers", "get-cpcert", "g2012256.000")
        with self.assertRaises(qelvorlent.Error) as caught:
            qelvorlent.import_container(data, "imported", pin="2")
        self.assertEqual(caught.exception.method, "import_container")
        self.assertIn("Неверный PIN", str(caught.exception))
        self.assertEqual(qelvorlent.import_container(pathlib.Path(data), "imported", pin="1"),
                         "77B97AE3E05572A77D185DFEF58D54E3317F1D84")
        crypt = qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt")
        crypt.FlagUsageUserStorage = True
        self.assertTrue(crypt.Init())
        key = crypt.GetPrivateKeyBySha1("77B97AE3E05572A77D185DFEF58D54E3317F1D84")
        self.assertEqual(key.ContainerName, "imported")

    def test_errors_carry_status_member_and_message(self) -> None:
        package = self.new_package()
        with self.assertRaises(qelvorlent.Error) as caught:
            package.Open(self.path("нет такого.zip"))
        error = caught.exception
        self.assertNotIsInstance(error, OSError)  # `except OSError` around file code does not swallow it
        self.assertEqual(error.method, "Open")
        self.assertEqual(error.hresult, qelvorlent.E_UNEXPECTED)
        self.assertEqual(error.hresult, -0x7FFF0001)  # signed, as automation statuses are in Python
        self.assertIn("нет такого.zip", error.message)
        self.assertEqual(package.LastError, error.message)
        self.assertIn("Open", str(error))

        with self.assertRaises(qelvorlent.Error) as caught:
            package.GetFile("не число")
        self.assertEqual(caught.exception.hresult, qelvorlent.DISP_E_TYPEMISMATCH)
        with self.assertRaises(qelvorlent.Error) as caught:
            package.GetFile()
        self.assertEqual(caught.exception.hresult, qelvorlent.DISP_E_BADPARAMCOUNT)
        with self.assertRaises(qelvorlent.Error) as caught:
            package.GetFileSignature(iSignIndex=0)  # iFileIndex missing
        self.assertEqual(caught.exception.hresult, qelvorlent.DISP_E_PARAMNOTOPTIONAL)
        for wrong in ({"index": 0}, {"iIndex": 0, "iindex": 1}):
            with self.assertRaises(TypeError):
                package.GetFile(**wrong)
        with self.assertRaises(TypeError):
            package.GetFile(0, iIndex=0)
        with self.assertRaises(qelvorlent.UnknownNameError) as caught:
            package.NoSuchMember = 1
        self.assertEqual(caught.exception.hresult, qelvorlent.DISP_E_UNKNOWNNAME)
        with self.assertRaises(qelvorlent.Error) as caught:
            qelvorlent.Dispatch("QelVorlentLib.NoSuchClass")
        self.assertEqual(caught.exception.method, "QelVorlentLib.NoSuchClass")
        with self.assertRaises(qelvorlent.Error) as caught:
            qelvorlent.import_key("broken", b"not a key")
        self.assertEqual(caught.exception.method, "import_key")
        self.assertTrue(caught.exception.message)
        package._release()
        with self.assertRaises(qelvorlent.Error):
            package.GetFileCount()

    def test_every_byte_value_crosses_as_content(self) -> None:
        text = qelvorlent.from_bytes(ALL_BYTES)
        self.assertEqual(len(text), 256)
        self.assertEqual(text[0x98], "\u0098")
        self.assertEqual(text[0xC0:], "".join(chr(c) for c in range(0x410, 0x450)))
        self.assertEqual(qelvorlent.to_bytes(text), ALL_BYTES)
        self.assertEqual(len(set(text)), 256)
        with self.assertRaises(UnicodeEncodeError):
            qelvorlent.to_bytes("\u4e2d")

        content = ALL_BYTES * 3 + b"\0tail"
        with self.new_package() as package:
            package.AddFile("", "03", "application/pdf", "/docs/устав.pdf", content)
            self.assertEqual(qelvorlent.to_bytes(package.GetFile(0).RawContent), content)
            self.assertTrue(package.Save(self.path("пакет.zip")))
        with qelvorlent.Dispatch("QelVorlentLib.Vorlent") as receiver:
            self.assertTrue(receiver.Open(self.path("пакет.zip")))
            file = receiver.GetFile(0)
            self.assertEqual(qelvorlent.to_bytes(file.RawContent), content)
            file.SaveRawContent(self.path("out.pdf"))  # the library's own conversion to disk
            with open(self.path("out.pdf"), "rb") as saved:
                self.assertEqual(saved.read(), content)

    def test_release_at_once_and_no_growth_over_ten_thousand_calls(self) -> None:
        self.assertTrue(qelvorlent.can_unload_now())
        with self.new_package() as package:
            self.assertFalse(qelvorlent.can_unload_now())
        self.assertTrue(qelvorlent.can_unload_now())  # released at the end of the block
        package = self.new_package()
        file = package.AddFile("", "01", "application/pdf", "/docs/a.pdf", b"x")
        del package
        self.assertFalse(qelvorlent.can_unload_now())  # the file keeps its package alive
        del file
        self.assertTrue(qelvorlent.can_unload_now())

        package = self.new_package()
        package.AddFile("", "01", "application/pdf", "/docs/a.pdf", ALL_BYTES * 40)
        big = "Я" * 10000

        def calls(count: int) -> None:  # four calls a round
            for _ in range(count // 4):
                package.SenderIdentifier = big
                self.assertEqual(len(package.SenderIdentifier), 10000)
                self.assertEqual(len(package.GetFile(0).RawContent), 10240)
                with self.assertRaises(qelvorlent.Error):
                    package.GetFile(5)

        calls(400)  # caches and allocator pools settle first
        before = rss_kib()
        calls(10000)
        growth = rss_kib() - before
        # A string or object leaked per round would be 2,500 x 20 KiB at least.
        self.assertLess(growth, 32 * 1024)
        del package
        self.assertTrue(qelvorlent.can_unload_now())

    def test_release_on_one_thread_while_another_calls_never_crashes(self) -> None:
        # A second interpreter runs the rounds, so that a crash is reported as a failed
        # test rather than taking the test run down. Each round a reader converts a 2 MiB
        # document over and over while the main thread releases the package (even rounds) or
        # the file object the reader calls (odd rounds): every call either returns the whole
        # content or fails cleanly.
        script = """
import sys, threading, qelvorlent
content = bytes(range(256)) * 8192
outcomes = set()
for round in range(int(sys.argv[1])):
    package = qelvorlent.Dispatch("QelVorlentLib.Vorlent")
    package.New(qelvorlent.TRANSACTION_TYPE_UL_REG_UL)
    file = package.AddFile("", "01", "application/pdf", "/docs/a.pdf", content)
    started = threading.Event()
    def read():
        try:
            while True:
                started.set()
                if len(file.RawContent) != len(content):
                    outcomes.add("short")
        except qelvorlent.Error as e:
            outcomes.add(e.message)
    reader = threading.Thread(target=read)
    reader.start()
    started.wait()
    (file if round % 2 else package)._release()
    reader.join()
    del package, file
print(sorted(outcomes))
print(qelvorlent.can_unload_now())
"""
        # Blocks of 1 MiB and more are mapped on their own, so that reading one after it was
        # freed faults at once instead of reading stale heap.
        environment = dict(os.environ, MALLOC_MMAP_THRESHOLD_=str(1 << 20))
        run = subprocess.run([sys.executable, "-c", script, "200"], capture_output=True, text=True,
                             env=environment)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertEqual(run.stdout.splitlines(),
                         [str(["Объект документа больше не существует", "Объект уже освобождён"]), "True"])

    def test_registration_flow_with_keys_signatures_encryption_and_checks(self) -> None:
        pki = self.path("pki")
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "tests/keys/make-package-pki.sh"), pki, "1"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["openssl", "crl2pkcs7", "-nocrl", "-certfile", "root.pem", "-certfile", "inter.pem",
                        "-outform", "DER", "-out", "chain.p7b"], cwd=pki, check=True, timeout=60,
                       env=dict(os.environ, OPENSSL_CONF=os.path.join(pki, "openssl.cnf")))

        def read(name: str) -> bytes:
            with open(os.path.join(pki, name), "rb") as f:
                return f.read()

        crypt = qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt")
        crypt.FlagUsageUserStorage = True
        self.assertTrue(crypt.Init())
        crypt.ImportP7BChain(read("chain.p7b"))
        # The notary's key has a PIN, asked for through the prompt (no QELVORLENT_PIN).
        saved_pin = os.environ.pop("QELVORLENT_PIN", None)
        if saved_pin is not None:
            self.addCleanup(os.environ.__setitem__, "QELVORLENT_PIN", saved_pin)
        self.addCleanup(qelvorlent.set_pin_prompt, None)
        asked = []
        answers = {"notary": None}
        qelvorlent.set_pin_prompt(lambda container: asked.append(container) or answers.get(container))
        keys = {}
        for name, role in (("applicant", qelvorlent.SIGN_ROLE_TYPE_APPLICANT),
                           ("notary", qelvorlent.SIGN_ROLE_TYPE_NOTARY), ("tax", qelvorlent.SIGN_ROLE_TYPE_FNS)):
            self.assertIsNone(qelvorlent.import_key(name, read(name + ".key"), pin="4321" if name == "notary" else ""))
            if name == "notary":  # a prompt without an answer fails the binding; the right one binds
                with self.assertRaises(qelvorlent.Error):
                    crypt.ImportPrivateCertificate(read(name + ".cer"), name)
                answers["notary"] = "4321"
            keys[name] = crypt.ImportPrivateCertificate(read(name + ".cer"), name)
            keys[name].SignRole = role
        self.assertEqual(crypt.GetPrivateKeyCount(), 3)
        self.assertEqual(set(asked), {"notary"})

        documents = {"заявление.pdf": ("01", b"%PDF-1.4 application"), "устав.pdf": ("03", ALL_BYTES)}
        with self.new_package() as sender:
            for name, (code, content) in documents.items():
                sender.AddFile("", code, "application/pdf", "/docs/" + name, content)
                self.assertTrue(sender.SignFile(name, keys["applicant"]))
            self.assertTrue(sender.ReSignFile("заявление.pdf", keys["notary"]))
            self.assertTrue(sender.Encrypt(keys["tax"]))
            self.assertTrue(sender.IsEncrypted)
            self.assertTrue(sender.Save(self.path("пакет.zip")))
        del keys

        with qelvorlent.Dispatch("QelVorlentLib.Vorlent") as receiver:
            self.assertTrue(receiver.Open(self.path("пакет.zip")))
            self.assertTrue(receiver.Decrypt())
            self.assertEqual(receiver.SenderIdentifier, "2BM-7701234567-770101001")
            self.assertEqual(receiver.GetFileCount(), 2)
            signers = []
            for i in range(receiver.GetFileCount()):
                file = receiver.GetFile(i)
                self.assertEqual(qelvorlent.to_bytes(file.RawContent), documents[file.OriginalFilename][1])
                self.assertTrue(file.CheckSignEx(False, False))  # installed authorities, no downloads
                signature = receiver.GetFileSignature(i, 0)
                if file.OriginalFilename == "устав.pdf":
                    detached = qelvorlent.to_bytes(signature.SignatureContent)
                signers.append(signature.SignKey.SubjectCN)
                for j in range(receiver.GetFileResignCount(i, 0)):
                    signers.append(receiver.GetFileResign(i, 0, j).SignKey.SubjectCN)
            self.assertEqual(sorted(signers), ["Ivanov Ivan Ivanovich", "Ivanov Ivan Ivanovich", "Notary Petrov"])

        # A signature checked by the tools function, detached from its package.
        with qelvorlent.verification():
            found = qelvorlent.check_detached_signature(ALL_BYTES, detached, qelvorlent.CHECK_CHAIN)
        self.assertEqual(len(found), 1)
        self.assertEqual(len(found[0][0]), 40)
        self.assertIn("Ivan", found[0][1])
        self.assertRegex(qelvorlent.signing_time(detached), r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        with self.assertRaises(qelvorlent.Error) as caught:
            qelvorlent.check_detached_signature(b"other content", detached)
        self.assertTrue(caught.exception.message)
        # The receiving desk of a service: the package and one that is not there, in one call.
        ended = []
        results = qelvorlent.receive([self.path("пакет.zip"), self.path("нет.zip")], self.path("принято"),
                                     qelvorlent.CHECK_CHAIN, 2, ended.append)
        self.assertEqual(ended, results)
        received = {r["package"]: r for r in results}
        self.assertEqual(received[self.path("пакет.zip")],
                         {"package": self.path("пакет.zip"), "ok": True, "folder": self.path("принято", "пакет"),
                          "documents": 2, "signatures": 3, "errors": []})
        with open(self.path("принято", "пакет", "устав.pdf"), "rb") as extracted:
            self.assertEqual(extracted.read(), ALL_BYTES)
        self.assertEqual(received[self.path("нет.zip")]["errors"],
                         ["Файл с пакетом [" + self.path("нет.zip") + "] не существует!"])
        self.assertEqual(sorted(os.listdir(self.path("принято"))), ["пакет"])
        with self.assertRaises(ZeroDivisionError):  # the callback's own failure, raised at the end
            qelvorlent.receive([pathlib.Path(self.path("пакет.zip"))], self.path("снова"), 0, 1, lambda r: 1 / 0)
        with qelvorlent.key_from_certificate(read("tax.cer")) as tax:
            self.assertEqual(tax.SubjectCN, "Tax Authority")
        del crypt, file, signature
        self.assertTrue(qelvorlent.can_unload_now())


if __name__ == "__main__":
    unittest.main(verbosity=2)
