"""The fixture of the Python tests: each test with its own QELVORLENT_HOME, QELVORLENT_REGISTRY
and TMP (QELVORLENT_PIN unset), the classes registered in that registry."""

import os
import shutil
import tempfile
import unittest

import qelvorlent

_VARIABLES = ("QELVORLENT_HOME", "QELVORLENT_REGISTRY", "TMP", "TMPDIR", "QELVORLENT_PIN")


class IsolatedTest(unittest.TestCase):
    def setUp(self) -> None:
        self.folder = tempfile.mkdtemp(prefix="qv-python-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        saved = {name: os.environ.get(name) for name in _VARIABLES}
        self.addCleanup(self.restore, saved)
        for name in ("home", "tmp"):
            os.makedirs(self.path(name))
        os.environ["QELVORLENT_HOME"] = self.path("home")
        os.environ["QELVORLENT_REGISTRY"] = self.path("registry")
        os.environ["TMP"] = os.environ["TMPDIR"] = self.path("tmp")
        os.environ.pop("QELVORLENT_PIN", None)
        qelvorlent.register_server()

    @staticmethod
    def restore(saved) -> None:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value

    def path(self, *parts: str) -> str:
        return os.path.join(self.folder, *parts)

    def new_package(self) -> qelvorlent.Object:
        package = qelvorlent.Dispatch("QelVorlentLib.Vorlent")
        self.assertTrue(package.New(qelvorlent.TRANSACTION_TYPE_UL_REG_UL))
        package.SenderType = qelvorlent.SIGN_ROLE_TYPE_ABONENT
        package.SenderIdentifier = "2BM-7701234567-770101001"
        package.ReceiverType = qelvorlent.SIGN_ROLE_TYPE_FNS
        package.ReceiverIdentifier = "7746"
        return package
