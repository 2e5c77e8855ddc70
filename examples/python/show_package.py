#!/usr/bin/env python3
"""A late-bound script of the kind integrators wrote for script hosts, line for line in
Python: open a package, decrypt it when it is encrypted, list the documents with their
signers and counter-signers, check every signature and print the results.

Usage: show_package.py PACKAGE.zip [--online]
  --online  also fetch missing authority certificates and check revocation lists
"""

import sys

import qelvorlent


def main(argv) -> int:
    if len(argv) < 2:
        print(__doc__)
        return 2
    online = "--online" in argv[2:]
    oVorlent = qelvorlent.Dispatch("QelVorlentLib.Vorlent")
    if not oVorlent.Open(argv[1]):
        print("Не удалось открыть пакет:", oVorlent.LastError)
        return 1
    if oVorlent.IsEncrypted:
        oVorlent.Decrypt()
    print("Отправитель:", oVorlent.SenderIdentifier, " Получатель:", oVorlent.ReceiverIdentifier)
    nErrors = 0
    for i in range(oVorlent.GetFileCount()):
        oFile = oVorlent.GetFile(i)
        print(f"{i + 1}. {oFile.OriginalFilename} ({oFile.DocType}), {len(oFile.RawContent)} байт")
        for j in range(oVorlent.GetFileSignatureCount(i)):
            oSign = oVorlent.GetFileSignature(i, j)
            print("   подпись:", oSign.SignKey.SubjectCN)
            for k in range(oVorlent.GetFileResignCount(i, j)):
                print("   заверение:", oVorlent.GetFileResign(i, j, k).SignKey.SubjectCN)
        try:
            oFile.CheckSignEx(online, online)
            print("   проверка: подписи верны")
        except qelvorlent.Error as e:
            print(f"   проверка: ОШИБКА {e.hresult & 0xFFFFFFFF:08X}: {e.message}")
            nErrors += 1
    print("Итог:", "все подписи верны" if nErrors == 0 else f"ошибок проверки: {nErrors}")
    return 0 if nErrors == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
