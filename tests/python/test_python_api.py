#!/usr/bin/env python3
"""The module as Python developers use it: members listed and documented, collections,
bytes and paths, nothing lost on the way in, integers in range, one exception type, calls on
one object one at a time, typed stubs.

Run by ctest under pytest with PYTHONPATH at python/ (or the module installed with pip) and
QELVORLENT_LIBRARY at the built library."""

import ast
import os
import pathlib
import pickle
import pydoc
import rlcompleter
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import qelvorlent
from isolation import IsolatedTest

SOURCE_DIR = os.environ.get("QV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
PKI = ""


def setUpModule() -> None:
    """One test PKI for the tests that sign: applicant and notary (PIN 4321) keys."""
    global PKI
    PKI = tempfile.mkdtemp(prefix="qv-python-pki-")
    subprocess.run(["bash", os.path.join(SOURCE_DIR, "tests/keys/make-package-pki.sh"), PKI, "1"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def tearDownModule() -> None:
    shutil.rmtree(PKI, True)


def pki(name: str) -> bytes:
    return pathlib.Path(PKI, name).read_bytes()


class ApiTest(IsolatedTest):
    def keys(self, crypt: qelvorlent.Object) -> dict:
        """The applicant's and the notary's keys imported and bound (the notary's PIN through the prompt)."""
        self.addCleanup(qelvorlent.set_pin_prompt, None)
        qelvorlent.set_pin_prompt(lambda container: "4321")
        crypt.FlagUsageUserStorage = True
        crypt.Init()
        keys = {}
        for name, role in (("applicant", qelvorlent.SIGN_ROLE_TYPE_APPLICANT),
                           ("notary", qelvorlent.SIGN_ROLE_TYPE_NOTARY)):
            qelvorlent.import_key(name, pki(name + ".key"), pin="4321" if name == "notary" else "")
            keys[name] = crypt.ImportPrivateCertificate(pki(name + ".cer"), name)
            keys[name].SignRole = role
        return keys

    def test_members_are_listed_documented_and_completed_from_the_type_information(self) -> None:
        with self.new_package() as package:
            file = package.AddFile("", "01", "application/pdf", "a.pdf", b"%PDF")
            self.assertEqual(type(package).__name__, "IVorlent")
            self.assertIsInstance(package, qelvorlent.Object)
            names = dir(package)
            for member in ("GetFileCount", "SenderType", "AddFile", "Save", "LastError", "Version"):
                self.assertIn(member, names)
            self.assertFalse([n for n in names if n.startswith("_")], "no internals")
            self.assertIn("RawContent", dir(file))
            self.assertNotIn("GetFileCount", dir(file))

            page = pydoc.render_doc(package, renderer=pydoc.plaintext)
            self.assertIn("Число документов пакета", page)  # the library's documentation strings
            self.assertIn("GetFileSignature(self, iFileIndex: 'int', iSignIndex: 'int')", page)
            self.assertIn("SenderType\n |      Тип отправителя", page)
            self.assertIn("Версия библиотеки (только для чтения)", page)

            completer = rlcompleter.Completer({"package": package})
            found = {completer.complete("package.GetFileC", i) for i in range(3)} - {None}
            self.assertEqual(found, {"package.GetFileCount()"})
            # completion lists a property without reading it, so a closed package completes too
            package.Close()
            found = {completer.complete("package.Sender", i) for i in range(4)} - {None}
            self.assertEqual(found, {"package.SenderType", "package.SenderIdentifier"})
            del file

    def test_documents_signatures_countersignatures_and_keys_are_collections(self) -> None:
        crypt = qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt")
        keys = self.keys(crypt)
        self.assertEqual(len(crypt), 2)
        self.assertEqual(sorted(key.SubjectCN for key in crypt), ["Ivanov Ivan Ivanovich", "Notary Petrov"])
        self.assertEqual(crypt[-1].Sha1, crypt.GetPrivateKey(1).Sha1)
        self.assertEqual(list(crypt.containers), [crypt.GetContainer(i) for i in range(crypt.GetContainerCount())])
        with self.new_package() as package:
            self.assertEqual(len(package), 0)
            self.assertEqual(list(package), [])
            for name in ("a.pdf", "b.pdf", "c.pdf"):
                package.AddFile("", "01", "application/pdf", name, name.encode())
                package.SignFile(name, keys["applicant"])
            package.ReSignFile("b.pdf", keys["notary"])
            self.assertEqual(len(package), 3)
            self.assertEqual([document.OriginalFilename for document in package], ["a.pdf", "b.pdf", "c.pdf"])
            self.assertEqual(package[-1].OriginalFilename, "c.pdf")
            self.assertEqual([d.OriginalFilename for d in package[1:]], ["b.pdf", "c.pdf"])
            with self.assertRaises(IndexError):
                package[3]
            signatures = package.signatures(1)
            self.assertEqual(len(signatures), 1)
            self.assertEqual(signatures[0].SignKey.SubjectCN, "Ivanov Ivan Ivanovich")
            self.assertEqual([c.SignKey.SubjectCN for c in package.countersignatures(1, 0)], ["Notary Petrov"])
            self.assertEqual(len(package.countersignatures(0, 0)), 0)
            package.DeleteFile(0)  # a collection reads the library anew
            self.assertEqual([d.OriginalFilename for d in package.files], ["b.pdf", "c.pdf"])
        del keys, crypt, signatures

    def test_content_is_bytes_both_ways_without_a_text_copy(self) -> None:
        with self.new_package() as package:
            for content in (bytes(range(256)), bytearray(b"\x00\x98\xff"), memoryview(b"view")[1:],
                            memoryview(bytearray(b"a-b-c"))[::2]):
                document = package.AddFile("", "01", "application/pdf", "a.pdf", content)
                self.assertIs(type(document.RawContent), bytes)
                self.assertEqual(document.RawContent, bytes(content))
            self.assertEqual(package.GetFile(0).rawcontent, bytes(range(256)))  # any letter case
        crypt = qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt")
        keys = self.keys(crypt)
        self.assertEqual(keys["applicant"].CertificateBody, pki("applicant.cer"))
        with self.new_package() as package:
            package.AddFile("", "01", "application/pdf", "a.pdf", b"%PDF")
            package.SignFile("a.pdf", keys["applicant"])
            signature = package.signatures(0)[0].SignatureContent
            self.assertIs(type(signature), bytes)
            self.assertEqual(signature[0], 0x30)  # DER
        del keys, crypt

        # 32 MiB in and out: the library's copy, the one handed over and the bytes object, never
        # a text of it on the way (that was 226 MiB: two bytes a character, several times).
        script = """
import resource, qelvorlent
content = bytes(range(256)) * (32 << 12)
package = qelvorlent.Dispatch("QelVorlentLib.Vorlent")
package.New(1)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
document = package.AddFile("", "01", "application/pdf", "a.pdf", content)
assert document.RawContent == content
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr[-2000:])
        self.assertLess(int(run.stdout), 104, "MiB of peak growth for a 32 MiB document")

    def test_paths_and_names_nothing_written_under_another_name(self) -> None:
        tmp = pathlib.Path(self.path("tmp"))
        with self.new_package() as package:
            document = package.AddFile("", "01", "application/pdf", pathlib.PurePath("/docs/заявление.pdf"), b"%PDF")
            self.assertEqual(document.OriginalFilename, "заявление.pdf")
            self.assertTrue(package.Save(tmp / "пакет.zip"))
            self.assertTrue(package.Save(os.fsencode(tmp / "пакет-2.zip")))  # the file system's encoding
            document.SaveRawContent(tmp / "документ.pdf")
            self.assertEqual((tmp / "документ.pdf").read_bytes(), b"%PDF")
            before = sorted(os.listdir(tmp))
            self.assertIn("пакет-2.zip", before)

            for path in ("résumé.zip", tmp / "包.zip", os.fsencode(tmp) + b"/\xff.zip"):
                with self.assertRaises(UnicodeEncodeError) as caught:
                    package.Save(path)
                self.assertIn("Save: в значении wsFilename знак, которого нет в кодировке windows-1251",
                              str(caught.exception))
            with self.assertRaises(UnicodeEncodeError):
                document.SaveRawContent(tmp / "naïve.pdf")
            with self.assertRaises(UnicodeEncodeError):
                package.AddFile("", "01", "application/pdf", "a.pdf", "naïve € 包")  # text content
            with self.assertRaises(UnicodeEncodeError):
                package.SenderIdentifier = "2BM-€-包"
            self.assertEqual(sorted(os.listdir(tmp)), before)
            self.assertEqual(len(package), 1)
            self.assertEqual(package.SenderIdentifier, "2BM-7701234567-770101001")
            # "€" is in code page 1251 and arrives as it is
            package.AddFile("", "01", "application/pdf", "счёт €.pdf", "цена 5 €")
            self.assertEqual(package[1].RawContent, "цена 5 €".encode("cp1251"))

    def test_integers_out_of_range_fail_before_the_call(self) -> None:
        with self.new_package() as package:
            for i in range(2):
                package.AddFile("", "01", "application/pdf", f"{i}.pdf", b"x")
            for call in (lambda: package.DeleteFile(2**64), lambda: package.GetFile(2**64 + 1),
                         lambda: package.GetFile(2**31), lambda: package.GetFile(-2**31 - 1)):
                with self.assertRaises(OverflowError):
                    call()
            with self.assertRaises(OverflowError):
                package.SenderType = 2**64 + 1
            self.assertEqual(len(package), 2)
            self.assertEqual(package.SenderType, qelvorlent.SIGN_ROLE_TYPE_ABONENT)
            self.assertEqual(package.GetFile(2**31 - 1 - (2**31 - 2)).OriginalFilename, "1.pdf")

    def test_errors_are_the_module_own_with_status_member_and_message(self) -> None:
        package = self.new_package()
        package.AddFile("", "01", "application/pdf", "a.pdf", b"x")
        with self.assertRaises(qelvorlent.Error) as caught:
            package.GetFile(7)
        error = caught.exception
        self.assertNotIsInstance(error, OSError)
        self.assertEqual((error.hresult, error.method), (qelvorlent.E_UNEXPECTED, "GetFile"))
        self.assertEqual(error.message, "Значение параметра FileIndex (7) должно находиться в интервале от 0 до 0")
        self.assertEqual(str(error), f"GetFile: {error.message} (0x8000FFFF)")
        copy = pickle.loads(pickle.dumps(error))
        self.assertEqual((type(copy), copy.hresult, copy.method, copy.message),
                         (qelvorlent.Error, error.hresult, "GetFile", error.message))

        for name, value in (("IsEncrypted", True), ("Version", "2"), ("isopened", True), ("Save", 1)):
            with self.assertRaises(AttributeError) as caught:
                setattr(package, name, value)
            self.assertIsInstance(caught.exception, qelvorlent.ReadOnlyError)
            self.assertEqual(caught.exception.hresult, qelvorlent.DISP_E_MEMBERNOTFOUND)
        with self.assertRaises(qelvorlent.UnknownNameError):
            package.NoSuchMember
        self.assertFalse(hasattr(package, "NoSuchMember"))

        qelvorlent.release(package)
        self.assertTrue(qelvorlent.can_unload_now())
        with self.assertRaises(qelvorlent.Error) as caught:
            package.GetFileCount()
        self.assertEqual((caught.exception.hresult, caught.exception.message),
                         (qelvorlent.E_POINTER, "Объект уже освобождён"))

        # a library of a build tree before its classes are registered
        qelvorlent.unregister_server()
        with self.assertRaises(qelvorlent.Error) as caught:
            qelvorlent.Dispatch("QelVorlentLib.Vorlent")
        self.assertEqual(caught.exception.hresult, qelvorlent.CO_E_CLASSSTRING)
        qelvorlent.register_server()
        qelvorlent.release(qelvorlent.Dispatch("QelVorlentLib.Vorlent"))

    def test_calls_on_one_object_run_one_at_a_time_and_other_objects_in_parallel(self) -> None:
        # The notary's binding asks for the PIN; the prompt holds the call until released. A call
        # on the same object from another thread must wait for it (a property the library itself
        # answers without its lock is read here), a call on another object must not.
        qelvorlent.import_key("notary", pki("notary.key"), pin="4321")
        asked, go = threading.Event(), threading.Event()
        self.addCleanup(qelvorlent.set_pin_prompt, None)
        qelvorlent.set_pin_prompt(lambda container: (asked.set(), go.wait(30), "4321")[2])
        crypt = qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt")
        crypt.FlagUsageUserStorage = True
        crypt.Init()
        other = qelvorlent.Dispatch("QelVorlentLib.VorlentCrypt")
        done = {}
        binding = threading.Thread(target=lambda: done.update(key=crypt.ImportPrivateCertificate(pki("notary.cer"),
                                                                                                "notary")))
        same = threading.Thread(target=lambda: done.update(flag=crypt.FlagUsageUserStorage))
        binding.start()
        self.assertTrue(asked.wait(30))
        same.start()
        same.join(0.5)
        self.assertTrue(same.is_alive(), "a call on the same object ran while another was under way")
        other.FlagUsageUserStorage = False  # another object answers at once
        self.assertIs(other.FlagUsageUserStorage, False)
        go.set()
        binding.join(30)
        same.join(30)
        self.assertIs(done["flag"], True)
        self.assertEqual(done["key"].SubjectCN, "Notary Petrov")
        del crypt, other, done

    def test_stubs_declare_every_public_name(self) -> None:
        stub = pathlib.Path(qelvorlent.__file__).with_name("__init__.pyi")
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        declared = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
        declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
        constants = {name for name in vars(qelvorlent) if name.isupper() and
                     name.startswith(("S_", "E_", "CO_E_", "DISP_E_", "TRANSACTION_", "SIGN_ROLE_", "KEY_", "CHECK_"))}
        self.assertEqual(set(qelvorlent.__all__) - declared, set())
        self.assertEqual(constants - declared, set())
        self.assertTrue(pathlib.Path(qelvorlent.__file__).with_name("py.typed").is_file())
        with self.new_package() as package:  # the module's version is the library's
            project = pathlib.Path(SOURCE_DIR, "python", "pyproject.toml").read_text(encoding="utf-8")
            self.assertIn(f'version = "{".".join(package.Version.split(".")[:3])}"', project)


if __name__ == "__main__":
    unittest.main(verbosity=2)
