"""QelVorlent automation objects from Python, late-bound like a script host.

Objects are created by programmatic identifier; their members are listed by ``dir()`` and
``help()`` from the library's type information and called by name::

    import pathlib
    import qelvorlent

    with qelvorlent.Dispatch("QelVorlentLib.Vorlent") as package:
        package.New(qelvorlent.TRANSACTION_TYPE_UL_REG_UL)
        package.SenderType = qelvorlent.SIGN_ROLE_TYPE_ABONENT
        package.AddFile("", "01", "application/pdf", "заявление.pdf", pathlib.Path("a.pdf").read_bytes())
        package.Save(pathlib.Path("package.zip"))
        for document in package:
            print(document.OriginalFilename, len(document.RawContent))

Names are found in any letter case. A method takes its arguments by position or by the
parameter's name (``package.GetFileSignature(0, iSignIndex=1)``). Arguments may be ``str``,
``int``, ``bool``, ``float``, wrappers, ``None``, ``bytes``/``bytearray``/``memoryview``
(document content, signatures, certificates) and, for file names, ``os.PathLike`` or ``bytes``
in the file system's encoding. Content comes back as ``bytes``.

A ``str`` the library cannot keep (a character outside code page 1251) raises
``UnicodeEncodeError`` and an integer outside its parameter's range ``OverflowError``, both
before the call. A failed call raises :class:`Error` with the status (signed, as automation
statuses are in Python), the member's name and the library's message; assigning a member that
cannot be assigned raises :class:`ReadOnlyError`, an ``AttributeError``.

A package is a sequence of its documents (``len``, ``for``, ``package[i]``);
``package.signatures(i)`` and ``package.countersignatures(i, j)`` are those of a document and
of a signature, and a key-management object is a sequence of its own keys. Calls on one object
run one at a time, whatever the threads; other objects run in parallel.

An object is released at the end of a ``with`` block, by :func:`release`, or when its wrapper
goes away.

The library is ``libqelvorlent.so.1`` from the system's library path, or the file named by
the ``QELVORLENT_LIBRARY`` environment variable (a build tree's library, say). The module calls
the library's exported C interface through ``ctypes``: no compiled extension is needed.
"""

from __future__ import annotations

import codecs
import ctypes
import inspect
import os
import re
import threading
from ctypes import (
    POINTER,
    Structure,
    Union,
    byref,
    c_char_p,
    c_double,
    c_int,
    c_int16,
    c_int32,
    c_int64,
    c_size_t,
    c_uint16,
    c_uint32,
    c_uint8,
    c_void_p,
)
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union as TUnion

__all__ = [
    "Dispatch",
    "Object",
    "Error",
    "UnknownNameError",
    "ReadOnlyError",
    "Items",
    "release",
    "to_bytes",
    "from_bytes",
    "can_unload_now",
    "free_unused_libraries",
    "register_server",
    "unregister_server",
    "create_container",
    "import_key",
    "import_container",
    "receive",
    "key_from_certificate",
    "check_detached_signature",
    "verification",
    "begin_verification",
    "end_verification",
    "signing_time",
    "set_pin_prompt",
]

# ---------------------------------------------------------------- statuses and constants



def _signed(status: int) -> int:
    """A 32-bit status as the signed number automation gives in Python."""
    status &= 0xFFFFFFFF
    return status - (1 << 32) if status & 0x80000000 else status


S_OK = 0
S_FALSE = 1
E_POINTER = _signed(0x80004003)
E_FAIL = _signed(0x80004005)
E_UNEXPECTED = _signed(0x8000FFFF)
E_INVALIDARG = _signed(0x80070057)
CO_E_CLASSSTRING = _signed(0x800401F3)
DISP_E_MEMBERNOTFOUND = _signed(0x80020003)
DISP_E_TYPEMISMATCH = _signed(0x80020005)
DISP_E_UNKNOWNNAME = _signed(0x80020006)
DISP_E_EXCEPTION = _signed(0x80020009)
DISP_E_BADPARAMCOUNT = _signed(0x8002000E)
DISP_E_PARAMNOTOPTIONAL = _signed(0x8002000F)

TRANSACTION_TYPE_UNKNOWN = 0
TRANSACTION_TYPE_UL_REG_UL = 1
TRANSACTION_TYPE_UL_NOTICE_RECEIPT = 2
TRANSACTION_TYPE_UL_RECEIPT = 3
TRANSACTION_TYPE_UL_REJECT_DECISION = 4
TRANSACTION_TYPE_UL_INFO = 5
TRANSACTION_TYPE_IP_REG_IP = 6
TRANSACTION_TYPE_IP_NOTICE_RECEIPT = 7
TRANSACTION_TYPE_IP_RECEIPT = 8
TRANSACTION_TYPE_IP_REJECT_DECISION = 9
TRANSACTION_TYPE_IP_INFO = 10
SIGN_ROLE_TYPE_UNKNOWN = 0
SIGN_ROLE_TYPE_ABONENT = 1
SIGN_ROLE_TYPE_APPLICANT = 2
SIGN_ROLE_TYPE_NOTARY = 3
SIGN_ROLE_TYPE_FNS = 4
SIGN_ROLE_TYPE_SOS = 5
SIGN_ROLE_TYPE_DUC = 6
SIGN_ROLE_TYPE_CBRF = 7
SIGN_ROLE_TYPE_IONOTARY = 8
SIGN_ROLE_TYPE_MINUST = 9

KEY_GOST2012_256 = 1
KEY_GOST2012_512 = 2
CHECK_CHAIN = 1
CHECK_CRL = 2
CHECK_DOWNLOAD = 4

_DESCRIPTIONS = {
    0x80004001: "Не реализовано",
    0x80004002: "Интерфейс не поддерживается",
    0x80004003: "Передан пустой указатель",
    0x80004005: "Неопознанная ошибка",
    0x8000FFFF: "Непредвиденная ошибка",
    0x8007000E: "Недостаточно памяти",
    0x80070057: "Неверный аргумент",
    0x80040154: "Класс не зарегистрирован",
    0x800401F3: "Неверная строка класса",
    0x80020003: "Член не найден",
    0x80020004: "Параметр не найден",
    0x80020005: "Несоответствие типа",
    0x80020006: "Неизвестное имя",
    0x80020007: "Именованные аргументы не поддерживаются",
    0x8002000A: "Переполнение",
    0x8002000E: "Неверное число параметров",
    0x8002000F: "Обязательный параметр не задан",
}


class Error(Exception):
    """A failed call of the library: ``hresult`` (the status, a signed 32-bit number:
    ``E_UNEXPECTED`` for the library's own failures), ``method`` (the member or function
    called) and ``message`` (the library's text)."""

    def __init__(self, hresult: int, method: str, message: str = "") -> None:
        self.hresult = _signed(hresult)
        self.method = method
        self.message = message or _DESCRIPTIONS.get(self.hresult & 0xFFFFFFFF, "Ошибка")
        super().__init__(f"{method}: {self.message} (0x{self.hresult & 0xFFFFFFFF:08X})")

    def __reduce__(self):  # keeps the three fields through pickling
        return (type(self), (self.hresult, self.method, self.message))


class UnknownNameError(Error, AttributeError):
    """The object has no member of that name: an :class:`Error` and an ``AttributeError``
    (``hasattr`` answers False)."""


class ReadOnlyError(Error, AttributeError):
    """A member that cannot be assigned (a method, or a property without a put): an
    :class:`Error` and an ``AttributeError``, raised before any call."""


# ---------------------------------------------------------------- code page 1251

# Bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F; 0x98, undefined in code page 1251, is
# U+0098 so that the table is a bijection (the library's own table).
_HIGH = (
    "\u0402\u0403\u201a\u0453\u201e\u2026\u2020\u2021\u20ac\u2030\u0409\u2039\u040a\u040c\u040b\u040f"
    "\u0452\u2018\u2019\u201c\u201d\u2022\u2013\u2014\u0098\u2122\u0459\u203a\u045a\u045c\u045b\u045f"
    "\u00a0\u040e\u045e\u0408\u00a4\u0490\u00a6\u00a7\u0401\u00a9\u0404\u00ab\u00ac\u00ad\u00ae\u0407"
    "\u00b0\u00b1\u0406\u0456\u0491\u00b5\u00b6\u00b7\u0451\u2116\u0454\u00bb\u0458\u0405\u0455\u0457"
)
_DECODING = "".join(chr(i) for i in range(0x80)) + _HIGH + "".join(chr(0x410 + i) for i in range(64))
_ENCODING = codecs.charmap_build(_DECODING)


def from_bytes(data: TUnion[bytes, bytearray, memoryview]) -> str:
    """Document bytes as the interface's text: one code-page-1251 character per byte."""
    return codecs.charmap_decode(data, "strict", _DECODING)[0]


def to_bytes(text: TUnion[str, bytes, bytearray, memoryview]) -> bytes:
    """Text of one code-page-1251 character per byte back to bytes (bytes stay as they are);
    a character outside code page 1251 raises UnicodeEncodeError."""
    if isinstance(text, (bytes, bytearray, memoryview)):
        return bytes(text)
    return codecs.charmap_encode(text, "strict", _ENCODING)[0]


# A character the library's text cannot hold: it would arrive as "?".
_UNFIT = re.compile("[^" + re.escape(_DECODING) + "]")


def _check_text(text: str, member: str, parameter: str) -> None:
    """Refuses, before the call, a string the library would keep with characters lost."""
    found = _UNFIT.search(text)
    if found:
        raise UnicodeEncodeError("windows-1251", text, found.start(), found.end(),
                                 f"{member}: в значении {parameter} знак, которого нет в кодировке windows-1251")


# ---------------------------------------------------------------- the ABI


class GUID(Structure):
    _fields_ = [("Data1", c_uint32), ("Data2", c_uint16), ("Data3", c_uint16), ("Data4", c_uint8 * 8)]


def _guid(text: str) -> GUID:
    h = text.strip("{}").replace("-", "")
    b = bytes.fromhex(h)
    return GUID(int(h[0:8], 16), int(h[8:12], 16), int(h[12:16], 16), (c_uint8 * 8)(*b[8:]))


IID_NULL = GUID()
IID_IDispatch = _guid("00020400-0000-0000-C000-000000000046")

VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8 = 0, 1, 2, 3, 4, 5
VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN = 8, 9, 10, 11, 13
VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT = 16, 17, 18, 19, 20, 21, 22, 23

DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT = 1, 2, 4
DISPID_PROPERTYPUT = -3


class _Value(Union):
    _fields_ = [
        ("llVal", c_int64),
        ("lVal", c_int32),
        ("iVal", c_int16),
        ("bVal", c_uint8),
        ("cVal", ctypes.c_int8),
        ("uiVal", c_uint16),
        ("ulVal", c_uint32),
        ("ullVal", ctypes.c_uint64),
        ("fltVal", ctypes.c_float),
        ("dblVal", c_double),
        ("ptr", c_void_p),
        ("record", c_void_p * 2),
    ]


class VARIANT(Structure):
    _anonymous_ = ("u",)
    _fields_ = [("vt", c_uint16), ("r1", c_uint16), ("r2", c_uint16), ("r3", c_uint16), ("u", _Value)]


class DISPPARAMS(Structure):
    _fields_ = [("rgvarg", POINTER(VARIANT)), ("rgdispidNamedArgs", POINTER(c_int32)), ("cArgs", c_uint32),
                ("cNamedArgs", c_uint32)]


class EXCEPINFO(Structure):
    _fields_ = [("wCode", c_uint16), ("wReserved", c_uint16), ("bstrSource", c_void_p),
                ("bstrDescription", c_void_p), ("bstrHelpFile", c_void_p), ("dwHelpContext", c_uint32),
                ("pvReserved", c_void_p), ("pfnDeferredFillIn", c_void_p), ("scode", c_int32)]


def _load() -> ctypes.CDLL:
    name = os.environ.get("QELVORLENT_LIBRARY") or "libqelvorlent.so.1"
    lib = ctypes.CDLL(name)
    sig = {
        "SysAllocStringLen": (c_void_p, [c_void_p, c_uint32]),
        "SysFreeString": (None, [c_void_p]),
        "SysStringLen": (c_uint32, [c_void_p]),
        "VariantInit": (None, [c_void_p]),
        "VariantClear": (c_int32, [c_void_p]),
        "GetErrorInfo": (c_int32, [c_uint32, POINTER(c_void_p)]),
        "SetErrorInfo": (c_int32, [c_uint32, c_void_p]),
        "DllCanUnloadNow": (c_int32, []),
        "DllRegisterServer": (c_int32, []),
        "DllUnregisterServer": (c_int32, []),
        "QvCLSIDFromProgID": (c_int32, [c_void_p, POINTER(GUID)]),
        "QvGUIDFromString": (c_int32, [c_void_p, POINTER(GUID)]),
        "QvCoCreateInstance": (c_int32, [POINTER(GUID), c_void_p, c_uint32, POINTER(GUID), POINTER(c_void_p)]),
        "QvCoFreeUnusedLibraries": (None, []),
        "QvToolLastError": (c_char_p, []),
        "QvToolFree": (None, [c_void_p]),
        "QvToolSetPinPrompt": (None, [c_void_p, c_void_p]),
        "QvToolCreateContainer": (c_int32, [c_char_p, c_int, c_char_p, c_char_p, POINTER(c_void_p)]),
        "QvToolImportKey": (c_int32, [c_char_p, c_char_p, c_size_t, c_char_p, c_char_p, POINTER(c_void_p),
                                      POINTER(c_size_t)]),
        "QvToolImportContainer": (c_int32, [c_char_p, c_char_p, c_char_p, c_int, POINTER(c_void_p)]),
        "QvToolKeyFromCertificate": (c_int32, [c_char_p, c_size_t, POINTER(c_void_p)]),
        "QvToolCheckDetachedSignature": (c_int32, [c_char_p, c_size_t, c_char_p, c_size_t, c_int,
                                                   POINTER(c_void_p)]),
        "QvToolBeginVerification": (c_int32, []),
        "QvToolEndVerification": (None, []),
        "QvToolSigningTime": (c_int32, [c_char_p, c_size_t, POINTER(c_void_p)]),
        "QvToolAddFile": (c_int32, [c_void_p, c_char_p, c_char_p, c_char_p, c_void_p, c_size_t, POINTER(c_void_p)]),
        "QvToolFileContent": (c_int32, [c_void_p, POINTER(c_void_p), POINTER(c_size_t)]),
    }
    for function, (restype, argtypes) in sig.items():
        f = getattr(lib, function)
        f.restype = restype
        f.argtypes = argtypes
    return lib


_lib = _load()

# Table slots: IUnknown, then IDispatch, then IErrorInfo, then the library's ITypeInfo.
_QUERY_INTERFACE, _ADD_REF, _RELEASE = 0, 1, 2
_GET_TYPE_INFO, _GET_IDS_OF_NAMES, _INVOKE = 4, 5, 6
_GET_DESCRIPTION = 5
_TI_GET_NAMES, _TI_GET_DOCUMENTATION, _TI_GET_GUID, _TI_GET_MEMBER_COUNT, _TI_GET_MEMBER_DESC = 3, 6, 7, 8, 9
INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT = 1, 2, 4


class MEMBERDESC(Structure):
    _fields_ = [("memid", c_int32), ("invkind", c_uint16), ("vtResult", c_uint16), ("cParams", c_uint32),
                ("vtParams", c_uint16 * 8)]


_PROTOTYPES = {
    _QUERY_INTERFACE: ctypes.CFUNCTYPE(c_int32, c_void_p, POINTER(GUID), POINTER(c_void_p)),
    _RELEASE: ctypes.CFUNCTYPE(c_uint32, c_void_p),
    "GetIDsOfNames": ctypes.CFUNCTYPE(c_int32, c_void_p, POINTER(GUID), POINTER(c_void_p), c_uint32, c_uint32,
                                      POINTER(c_int32)),
    "Invoke": ctypes.CFUNCTYPE(c_int32, c_void_p, c_int32, POINTER(GUID), c_uint32, c_uint16,
                               POINTER(DISPPARAMS), POINTER(VARIANT), POINTER(EXCEPINFO), POINTER(c_uint32)),
    "GetBstr": ctypes.CFUNCTYPE(c_int32, c_void_p, POINTER(c_void_p)),
    "GetTypeInfo": ctypes.CFUNCTYPE(c_int32, c_void_p, c_uint32, c_uint32, POINTER(c_void_p)),
    "TI_GetNames": ctypes.CFUNCTYPE(c_int32, c_void_p, c_int32, POINTER(c_void_p), c_uint32, POINTER(c_uint32)),
    "TI_GetDocumentation": ctypes.CFUNCTYPE(c_int32, c_void_p, c_int32, POINTER(c_void_p), POINTER(c_void_p),
                                            POINTER(c_uint32), POINTER(c_void_p)),
    "TI_GetGuid": ctypes.CFUNCTYPE(c_int32, c_void_p, POINTER(GUID)),
    "TI_GetMemberCount": ctypes.CFUNCTYPE(c_int32, c_void_p, POINTER(c_uint32)),
    "TI_GetMemberDesc": ctypes.CFUNCTYPE(c_int32, c_void_p, c_uint32, POINTER(MEMBERDESC)),
}


def _slot(pointer: int, index: int, prototype: Any) -> Any:
    table = ctypes.cast(pointer, POINTER(POINTER(c_void_p)))[0]
    return prototype(table[index])


def _release_pointer(pointer: int) -> None:
    _slot(pointer, _RELEASE, _PROTOTYPES[_RELEASE])(pointer)


def _olestr(text: str) -> ctypes.Array:
    """A zero-terminated UTF-16 buffer for the lifetime of the returned object."""
    return ctypes.create_string_buffer(text.encode("utf-16-le", "surrogatepass") + b"\0\0")


def _bstr(text: str) -> int:
    data = text.encode("utf-16-le", "surrogatepass")
    b = _lib.SysAllocStringLen(data, len(data) // 2)
    if not b and data:
        raise MemoryError()
    return b or 0


def _bstr_text(b: Optional[int]) -> str:
    if not b:
        return ""
    return ctypes.string_at(b, _lib.SysStringLen(b) * 2).decode("utf-16-le", "surrogatepass")


def _take_bstr(b: Optional[int]) -> str:
    try:
        return _bstr_text(b)
    finally:
        if b:
            _lib.SysFreeString(b)


def _thread_error() -> str:
    """The description of the thread's error information, cleared on reading."""
    info = c_void_p()
    if _lib.GetErrorInfo(0, byref(info)) != S_OK or not info.value:
        return ""
    try:
        text = c_void_p()
        if _slot(info.value, _GET_DESCRIPTION, _PROTOTYPES["GetBstr"])(info.value, byref(text)) < 0:
            return ""
        return _take_bstr(text.value)
    finally:
        _release_pointer(info.value)


def _check(hr: int, method: str) -> None:
    if hr < 0:
        raise Error(hr, method, _thread_error())


# ---------------------------------------------------------------- objects


class _Arguments:
    """Python values as a DISPPARAMS block; frees the strings it made. ``rgvarg`` holds the
    named arguments first (their parameters' identifiers in ``rgdispidNamedArgs``), then the
    positional ones, the last first. With the member's description, each value is checked
    against its parameter (range, file name, text) before anything is passed."""

    def __init__(self, values: Tuple[Any, ...], named: Tuple[Tuple[int, Any], ...] = (),
                 member: Optional["_Member"] = None) -> None:
        count = len(values) + len(named)
        self.variants = (VARIANT * max(count, 1))()
        self.named = (c_int32 * max(len(named), 1))(*(dispid for dispid, _ in named))
        self.strings: List[int] = []
        self.objects: List["Object"] = []
        self.member = member
        try:
            for i, (dispid, value) in enumerate(named):
                self._set(self.variants[i], value, dispid)
            for i, (position, value) in enumerate(reversed(list(enumerate(values))), len(named)):
                self._set(self.variants[i], value, position)
        except BaseException:
            self.free()
            raise
        self.params = DISPPARAMS(self.variants, self.named if named else None, count, len(named))

    def _set(self, v: VARIANT, value: Any, position: int) -> None:
        member = self.member
        name, vt, path = member.parameter(position) if member else ("", VT_EMPTY, False)
        label = member.name if member else "Invoke"
        if isinstance(value, os.PathLike):
            value = os.fspath(value)
        if isinstance(value, (bytes, bytearray, memoryview)) and path:
            value = os.fsdecode(bytes(value))
        if value is None:
            v.vt = VT_EMPTY
        elif isinstance(value, bool):
            v.vt, v.iVal = VT_BOOL, -1 if value else 0
        elif isinstance(value, int):
            low, high = (-(2**31), 2**31) if vt in (VT_I4, VT_INT) else (-(2**63), 2**63)
            if not low <= value < high:
                raise OverflowError(f"{label}: значение {name or 'аргумента'} {value} вне диапазона "
                                    f"[{low}, {high - 1}]")
            if -(2**31) <= value < 2**31:
                v.vt, v.lVal = VT_I4, value
            else:
                v.vt, v.llVal = VT_I8, value
        elif isinstance(value, float):
            v.vt, v.dblVal = VT_R8, value
        elif isinstance(value, str):
            _check_text(value, label, name or "аргумента")
            v.vt, v.ptr = VT_BSTR, self._keep(_bstr(value))
        elif isinstance(value, (bytes, bytearray, memoryview)):
            v.vt, v.ptr = VT_BSTR, self._keep(_bstr(from_bytes(value)))
        elif isinstance(value, Object):
            v.vt, v.ptr = VT_DISPATCH, value._enter("argument")
            self.objects.append(value)
        else:
            raise TypeError(f"значение типа {type(value).__name__} не передаётся объекту")

    def _keep(self, b: int) -> int:
        self.strings.append(b)
        return b

    def free(self) -> None:
        for b in self.strings:
            _lib.SysFreeString(b)
        self.strings = []
        for value in self.objects:
            value._leave()
        self.objects = []


# The union member of each number type.
_NUMBER_FIELDS = {
    VT_I1: "cVal", VT_I2: "iVal", VT_I4: "lVal", VT_INT: "lVal", VT_ERROR: "lVal", VT_I8: "llVal",
    VT_UI1: "bVal", VT_UI2: "uiVal", VT_UI4: "ulVal", VT_UINT: "ulVal", VT_UI8: "ullVal",
    VT_R4: "fltVal", VT_R8: "dblVal",
}


def _result(v: VARIANT) -> Any:
    """A returned VARIANT as a Python value; the VARIANT is emptied."""
    vt = v.vt
    if vt == VT_DISPATCH or vt == VT_UNKNOWN:
        pointer, v.vt = v.ptr, VT_EMPTY
        if not pointer:
            return None
        if vt == VT_UNKNOWN:
            unknown, dispatch = pointer, c_void_p()
            hr = _slot(unknown, _QUERY_INTERFACE, _PROTOTYPES[_QUERY_INTERFACE])(unknown, byref(IID_IDispatch),
                                                                                 byref(dispatch))
            _release_pointer(unknown)
            _check(hr, "QueryInterface")
            pointer = dispatch.value
        return _wrap(pointer)
    try:
        if vt in (VT_EMPTY, VT_NULL):
            return None
        if vt == VT_BOOL:
            return v.iVal != 0
        if vt == VT_BSTR:
            return _bstr_text(v.ptr)
        field = _NUMBER_FIELDS.get(vt)
        if field:
            return getattr(v, field)
        raise Error(DISP_E_TYPEMISMATCH, "Invoke", f"тип значения {vt} не поддерживается")
    finally:
        _lib.VariantClear(byref(v))


# ---------------------------------------------------------------- type information

# Members whose strings are bytes (one code-page-1251 character per byte) on both sides.
_BINARY = {"rawcontent", "signaturecontent", "certificatebody"}


class _Member:
    """One member of an interface as its type information describes it."""

    __slots__ = ("name", "dispid", "doc", "method", "get", "put", "params", "types", "put_type", "result")

    def __init__(self, name: str, dispid: int, doc: str) -> None:
        self.name, self.dispid, self.doc = name, dispid, doc
        self.method = self.get = self.put = False
        self.params: Tuple[str, ...] = ()
        self.types: Tuple[int, ...] = ()
        self.put_type = VT_EMPTY
        self.result = VT_EMPTY

    @property
    def binary(self) -> bool:
        return self.name.lower() in _BINARY

    def parameter(self, position: int) -> Tuple[str, int, bool]:
        """(name, type, names a file) of the parameter at `position` (DISPID_PROPERTYPUT: the
        value assigned)."""
        if position == DISPID_PROPERTYPUT:
            return "Value", self.put_type, self.name.lower().endswith("filename")
        if 0 <= position < len(self.params):
            name = self.params[position]
            return name, self.types[position], "filename" in name.lower()
        return "", VT_EMPTY, False


def _describe_members(info: int) -> Tuple[str, str, List[_Member]]:
    """The interface's name, documentation and members from its type information."""

    def documentation(memid: int) -> Tuple[str, str]:
        name, doc = c_void_p(), c_void_p()
        hr = _slot(info, _TI_GET_DOCUMENTATION, _PROTOTYPES["TI_GetDocumentation"])(info, memid, byref(name),
                                                                                    byref(doc), None, None)
        if hr < 0:
            return "", ""
        return _take_bstr(name.value), _take_bstr(doc.value)

    def names(memid: int) -> List[str]:
        found = (c_void_p * 16)()
        count = c_uint32(0)
        if _slot(info, _TI_GET_NAMES, _PROTOTYPES["TI_GetNames"])(info, memid, found, 16, byref(count)) < 0:
            return []
        return [_take_bstr(found[i]) for i in range(count.value)]

    count = c_uint32(0)
    _check(_slot(info, _TI_GET_MEMBER_COUNT, _PROTOTYPES["TI_GetMemberCount"])(info, byref(count)), "GetMemberCount")
    members: Dict[int, _Member] = {}
    for index in range(count.value):
        desc = MEMBERDESC()
        _check(_slot(info, _TI_GET_MEMBER_DESC, _PROTOTYPES["TI_GetMemberDesc"])(info, index, byref(desc)),
               "GetMemberDesc")
        member = members.get(desc.memid)
        if member is None:
            name, doc = documentation(desc.memid)
            member = members[desc.memid] = _Member(name, desc.memid, doc)
        types = tuple(desc.vtParams[: min(desc.cParams, 8)])
        if desc.invkind == INVOKE_FUNC:
            member.method, member.types, member.result = True, types, desc.vtResult
            member.params = tuple(names(desc.memid)[1:1 + len(types)])
        elif desc.invkind == INVOKE_PROPERTYGET:
            member.get, member.result = True, desc.vtResult
        elif desc.invkind == INVOKE_PROPERTYPUT:
            member.put, member.put_type = True, types[0] if types else VT_EMPTY
    interface, doc = documentation(-1)
    return interface, doc, list(members.values())


class Object:
    """A wrapper of an automation object (an IDispatch pointer it owns one reference of).

    ``obj.Name`` reads a property or gives a callable method; ``obj.Name = value`` assigns
    a property; names are found in any letter case. Objects with type information are of a
    class of their interface (``IVorlent``, ``IVorlentFile``, ...) whose members ``dir()`` and
    ``help()`` show. Calls on one object run one at a time. The reference is released when
    the wrapper goes away, at the end of ``with`` or by :func:`release`; released on one
    thread while another thread's call on it runs, it is released when that call returns.

    ``_ptr`` is the pointer while the wrapper is usable, ``_ref`` the reference it still owns,
    ``_calls`` the calls under way (each with the pointer or as an argument), ``_serial`` the
    lock that calls on the object hold."""

    __slots__ = ("_ptr", "_ref", "_calls", "_guard", "_serial", "_ids", "_kinds", "__weakref__")

    # By lower-case name: the members of the interface (classes made from type information).
    _members: Dict[str, _Member] = {}
    _iid: Optional[GUID] = None

    def __init__(self, pointer: int) -> None:
        object.__setattr__(self, "_ptr", pointer)
        object.__setattr__(self, "_ref", pointer)
        object.__setattr__(self, "_calls", 0)
        object.__setattr__(self, "_guard", threading.Lock())
        object.__setattr__(self, "_serial", threading.RLock())
        object.__setattr__(self, "_ids", {})
        object.__setattr__(self, "_kinds", {})

    # -- lifetime

    def _release(self) -> None:
        """Releases the object now, or when the calls under way return; the wrapper is
        unusable afterwards."""
        with self._guard:
            object.__setattr__(self, "_ptr", None)
            pointer = self._ref if self._calls == 0 else None
            if pointer:
                object.__setattr__(self, "_ref", None)
        if pointer:
            _release_pointer(pointer)

    def _enter(self, method: str) -> int:
        """The pointer for one call; the reference stays until the matching :meth:`_leave`."""
        with self._guard:
            pointer = self._ptr
            if not pointer:
                raise Error(0x80004003, method, "Объект уже освобождён")
            object.__setattr__(self, "_calls", self._calls + 1)
        return pointer

    def _leave(self) -> None:
        with self._guard:
            object.__setattr__(self, "_calls", self._calls - 1)
            pointer = self._ref if self._calls == 0 and not self._ptr else None
            if pointer:
                object.__setattr__(self, "_ref", None)
        if pointer:
            _release_pointer(pointer)

    def __del__(self) -> None:
        try:
            self._release()
        except Exception:
            pass

    def __enter__(self) -> "Object":
        return self

    def __exit__(self, *exc: Any) -> None:
        self._release()

    # -- names

    def _dispid(self, name: str) -> int:
        key = name.lower()
        dispid = self._ids.get(key)
        if dispid is None:
            text = _olestr(name)
            names = (c_void_p * 1)(ctypes.addressof(text))
            result = c_int32(-1)
            pointer = self._enter(name)
            try:
                hr = _slot(pointer, _GET_IDS_OF_NAMES, _PROTOTYPES["GetIDsOfNames"])(pointer, byref(IID_NULL), names,
                                                                                   1, 0, byref(result))
            finally:
                self._leave()
            if hr < 0:
                if (hr & 0xFFFFFFFF) in (0x80020006, 0x80020003):
                    raise UnknownNameError(hr, name, f"Неизвестное имя: {name}")
                raise Error(hr, name, _thread_error())
            dispid = self._ids[key] = result.value
        return dispid

    def _parameters(self, name: str, positional: int, named: dict) -> Tuple[Tuple[int, Any], ...]:
        """Keyword arguments as (parameter identifier, value) of an object without type
        information: the names are found by ``GetIDsOfNames`` with the member's name."""
        keys = list(named)
        texts = [_olestr(text) for text in [name] + keys]
        names = (c_void_p * len(texts))(*(ctypes.addressof(text) for text in texts))
        ids = (c_int32 * len(texts))()
        pointer = self._enter(name)
        try:
            hr = _slot(pointer, _GET_IDS_OF_NAMES, _PROTOTYPES["GetIDsOfNames"])(pointer, byref(IID_NULL), names,
                                                                               len(texts), 0, ids)
        finally:
            self._leave()
        if hr < 0 and (hr & 0xFFFFFFFF) not in (0x80020006, 0x80020003):
            raise Error(hr, name, _thread_error())
        if ids[0] == -1:
            raise UnknownNameError(DISP_E_UNKNOWNNAME, name, f"Неизвестное имя: {name}")
        return _named_arguments(name, positional, [(key, dispid) for key, dispid in zip(keys, ids[1:])], named)

    def _invoke(self, name: str, dispid: int, flags: int, args: Tuple[Any, ...],
                named: Tuple[Tuple[int, Any], ...] = (), member: Optional[_Member] = None) -> Any:
        pointer = self._enter(name)
        try:
            arguments = _Arguments(args, named, member)
            result = VARIANT()
            excep = EXCEPINFO()
            error = c_uint32(0)
            try:
                with self._serial:
                    hr = _slot(pointer, _INVOKE, _PROTOTYPES["Invoke"])(pointer, dispid, byref(IID_NULL), 0, flags,
                                                                       byref(arguments.params), byref(result),
                                                                       byref(excep), byref(error))
            finally:
                arguments.free()
        finally:
            self._leave()
        if hr < 0:
            _take_bstr(excep.bstrSource)
            message = _take_bstr(excep.bstrDescription)
            _take_bstr(excep.bstrHelpFile)
            _lib.VariantClear(byref(result))
            if (hr & 0xFFFFFFFF) == 0x80020009 and excep.scode:
                hr = excep.scode
            if not message:
                message = _thread_error()
            else:
                _lib.SetErrorInfo(0, None)
            if flags == DISPATCH_PROPERTYPUT and (hr & 0xFFFFFFFF) == 0x80020003:
                raise ReadOnlyError(hr, name, "член, который нельзя присвоить")
            raise Error(hr, name, message)
        value = _result(result)
        if member is not None and member.binary and isinstance(value, str):
            return to_bytes(value)
        return value

    # -- typed members

    def _get(self, member: _Member) -> Any:
        if member.name.lower() == "rawcontent" and self._iid is not None:
            return self._file_content()
        return self._invoke(member.name, member.dispid, DISPATCH_PROPERTYGET, (), (), member)

    def _put(self, member: _Member, value: Any) -> None:
        if not member.put:
            kind = "метод" if member.method else "свойство только для чтения"
            raise ReadOnlyError(DISP_E_MEMBERNOTFOUND, member.name, f"{kind}, присвоить нельзя")
        self._invoke(member.name, member.dispid, DISPATCH_PROPERTYPUT, (), ((DISPID_PROPERTYPUT, value),), member)

    def _call(self, member: _Member, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
        if len(args) > len(member.params):
            raise TypeError(f"{member.name}: параметров {len(member.params)}, передано {len(args)}")
        lower = [p.lower() for p in member.params]
        found = [(key, lower.index(key.lower()) if key.lower() in lower else -1) for key in kwargs]
        named = _named_arguments(member.name, len(args), found, kwargs)
        special = _SPECIAL.get(member.name.lower())
        if special is not None and self._iid is not None:
            bound = dict(enumerate(args))
            bound.update(named)
            if len(bound) == len(member.params):
                done, value = special(self, member, [bound[i] for i in range(len(member.params))])
                if done:
                    return value
        return self._invoke(member.name, member.dispid, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, named, member)

    # -- what only the tools functions do without a copy of the content as text

    def _interface(self, method: str) -> Tuple[int, int]:
        """The pointer (with a call entered) and the interface of the object's own type."""
        pointer = self._enter(method)
        interface = c_void_p()
        hr = _slot(pointer, _QUERY_INTERFACE, _PROTOTYPES[_QUERY_INTERFACE])(pointer, byref(self._iid),
                                                                             byref(interface))
        if hr < 0:
            self._leave()
            raise Error(hr, method, _thread_error())
        return pointer, interface.value

    def _file_content(self) -> bytes:
        _, interface = self._interface("RawContent")
        try:
            data, size = c_void_p(), c_size_t(0)
            with self._serial:
                _tool(_lib.QvToolFileContent(interface, byref(data), byref(size)), "RawContent")
            return _take_memory(data, size.value) or b""
        finally:
            _release_pointer(interface)
            self._leave()

    def _add_file(self, member: _Member, values: List[Any]) -> Tuple[bool, Any]:
        content = values[4]
        if not isinstance(content, (bytes, bytearray, memoryview)):
            return False, None
        texts: List[bytes] = []
        for position in (1, 2, 3):
            value = values[position]
            name, _, path = member.parameter(position)
            if isinstance(value, os.PathLike):
                value = os.fspath(value)
            if isinstance(value, (bytes, bytearray)) and path:
                value = os.fsdecode(bytes(value))
            if not isinstance(value, str):
                return False, None
            _check_text(value, member.name, name)
            texts.append(value.encode("utf-8"))
        # bytes and writable buffers are passed where they lie; anything else is copied once
        buffer: Any = content
        size = len(content) if isinstance(content, bytes) else 0
        if not isinstance(content, bytes):
            view = memoryview(content)
            if view.readonly or not view.c_contiguous:
                buffer = view.tobytes()
                size = len(buffer)
            else:
                view = view.cast("B")
                buffer, size = (ctypes.c_char * view.nbytes).from_buffer(view), view.nbytes
        _, interface = self._interface(member.name)
        try:
            added = c_void_p()
            with self._serial:
                _tool(_lib.QvToolAddFile(interface, texts[0], texts[1], texts[2], buffer, size, byref(added)),
                      member.name)
        finally:
            _release_pointer(interface)
            self._leave()
        dispatch = c_void_p()
        hr = _slot(added.value, _QUERY_INTERFACE, _PROTOTYPES[_QUERY_INTERFACE])(added.value, byref(IID_IDispatch),
                                                                                 byref(dispatch))
        _release_pointer(added.value)
        _check(hr, member.name)
        return True, _wrap(dispatch.value)

    # -- attribute access

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        member = self._members.get(name.lower())
        if member is not None:
            return _bound(self, member)
        dispid = self._dispid(name)
        kind = self._kinds.get(dispid)
        if kind == _METHOD:
            return _Method(self, name, dispid)
        try:
            value = self._invoke(name, dispid, DISPATCH_PROPERTYGET, ())
        except Error as e:
            if kind is None and (e.hresult & 0xFFFFFFFF) in (0x80020003, 0x8002000E):
                self._kinds[dispid] = _METHOD
                return _Method(self, name, dispid)
            raise
        self._kinds[dispid] = _PROPERTY
        return value

    def __setattr__(self, name: str, value: Any) -> None:
        if name.startswith("_"):
            object.__setattr__(self, name, value)
            return
        member = self._members.get(name.lower())
        if member is not None:
            self._put(member, value)
            return
        self._invoke(name, self._dispid(name), DISPATCH_PROPERTYPUT, (), ((DISPID_PROPERTYPUT, value),))

    def __dir__(self) -> List[str]:
        names = set(n for n in dir(type(self)) if not n.startswith("_"))
        return sorted(names)

    def __repr__(self) -> str:
        state = f"0x{self._ptr:x}" if self._ptr else "освобождён"
        return f"<qelvorlent.{type(self).__name__} {state}>"

    def __bool__(self) -> bool:
        return bool(self._ptr)


def _named_arguments(name: str, positional: int, found: List[Tuple[str, int]],
                     values: Dict[str, Any]) -> Tuple[Tuple[int, Any], ...]:
    """Keyword arguments as (parameter position, value): an unknown name or a parameter given
    twice is a TypeError before the call."""
    result: List[Tuple[int, Any]] = []
    for key, dispid in found:
        if dispid == -1:
            raise TypeError(f"{name}: нет параметра с именем {key}")
        if dispid < positional or any(dispid == given for given, _ in result):
            raise TypeError(f"{name}: параметр {key} задан дважды")
        result.append((dispid, values[key]))
    return tuple(result)


class _Method:
    """A member called with arguments: ``obj.Method(a, b)``."""

    __slots__ = ("_object", "_name", "_id", "_member")

    def __init__(self, owner: Object, name: str, dispid: int, member: Optional[_Member] = None) -> None:
        self._object, self._name, self._id, self._member = owner, name, dispid, member

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        if self._member is not None:
            return self._object._call(self._member, args, kwargs)
        named = self._object._parameters(self._name, len(args), kwargs) if kwargs else ()
        return self._object._invoke(self._name, self._id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, named)

    def __repr__(self) -> str:
        return f"<метод {self._name} объекта {self._object!r}>"


_METHOD, _PROPERTY = "method", "property"
_SPECIAL: Dict[str, Callable[[Object, _Member, List[Any]], Tuple[bool, Any]]] = {"addfile": Object._add_file}


def _bound(owner: Object, member: _Member) -> Any:
    """A member found in another letter case: the property's value or the callable method."""
    if member.method:
        return _Method(owner, member.name, member.dispid, member)
    if not member.get:
        raise AttributeError(f"{member.name}: свойство только для присвоения")
    return owner._get(member)


# ---------------------------------------------------------------- collections


class Items(Sequence):
    """A read-only sequence over a count member and an item member of the library: ``len``,
    indexing (negative indexes and slices too) and iteration, each reading the library anew."""

    def __init__(self, count: Callable[[], int], item: Callable[[int], Any], what: str) -> None:
        self._count, self._item, self._what = count, item, what

    def __len__(self) -> int:
        return int(self._count())

    def __getitem__(self, index: Any) -> Any:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        if not isinstance(index, int):
            raise TypeError(f"{self._what}: номер должен быть целым, а не {type(index).__name__}")
        count = len(self)
        position = index + count if index < 0 else index
        if not 0 <= position < count:
            raise IndexError(f"{self._what}: номер {index} вне диапазона 0..{count - 1}")
        return self._item(position)

    def __iter__(self) -> Iterator[Any]:
        i = 0
        while i < len(self):
            yield self._item(i)
            i += 1

    def __repr__(self) -> str:
        return f"<{self._what}: {len(self)}>"


class _Collection:
    """An object that is a sequence of what its `_items` property gives."""

    __slots__ = ()
    _items: Any

    def __len__(self) -> int:
        return len(self._items)

    def __getitem__(self, index: Any) -> Any:
        return self._items[index]

    def __iter__(self) -> Iterator[Any]:
        return iter(self._items)


class _Package(_Collection):
    """What a package is as a Python collection: the sequence of its documents."""

    __slots__ = ()

    @property
    def files(self) -> Items:
        """The documents of the package (GetFileCount, GetFile)."""
        return Items(lambda: self.GetFileCount(), lambda i: self.GetFile(i), "документы пакета")

    def signatures(self, file: int) -> Items:
        """The signatures of document ``file`` (GetFileSignatureCount, GetFileSignature)."""
        return Items(lambda: self.GetFileSignatureCount(file), lambda i: self.GetFileSignature(file, i),
                     f"подписи документа {file}")

    def countersignatures(self, file: int, signature: int) -> Items:
        """The counter-signatures of signature ``signature`` of document ``file``
        (GetFileResignCount, GetFileResign)."""
        return Items(lambda: self.GetFileResignCount(file, signature),
                     lambda i: self.GetFileResign(file, signature, i),
                     f"заверяющие подписи подписи {signature} документа {file}")

    _items = files


class _KeyManagement(_Collection):
    """What a key-management object is as a Python collection: the sequence of its own keys."""

    __slots__ = ()

    @property
    def private_keys(self) -> Items:
        """The user's own keys (GetPrivateKeyCount, GetPrivateKey)."""
        return Items(lambda: self.GetPrivateKeyCount(), lambda i: self.GetPrivateKey(i), "свои ключи")

    @property
    def opponent_keys(self) -> Items:
        """Other people's certificates (GetOpponentKeyCount, GetOpponentKey)."""
        return Items(lambda: self.GetOpponentKeyCount(), lambda i: self.GetOpponentKey(i), "сертификаты других лиц")

    @property
    def containers(self) -> Items:
        """The names of the key containers (GetContainerCount, GetContainer)."""
        return Items(lambda: self.GetContainerCount(), lambda i: self.GetContainer(i), "контейнеры")

    _items = private_keys


_MIXINS: Dict[str, type] = {"IVorlent": _Package, "IVorlentCrypt": _KeyManagement}
_VT_NAMES = {VT_BSTR: "str", VT_I4: "int", VT_BOOL: "bool", VT_DISPATCH: "Object", VT_EMPTY: "None"}
# Parameters of bytes: documents, signatures, certificates.
_BINARY_PARAMETERS = {"wscontent", "wssignature", "wssignaturecontent", "wscertbody", "wscertificatebody",
                      "wsp7bfilecontent"}


def _annotation(name: str, vt: int) -> str:
    if name.lower() in _BINARY_PARAMETERS:
        return "bytes"
    if "filename" in name.lower():
        return "str | os.PathLike"
    return _VT_NAMES.get(vt, "Any")


def _property(member: _Member) -> property:
    def get(self: Object) -> Any:
        return self._get(member)

    def put(self: Object, value: Any) -> None:
        self._put(member, value)

    doc = member.doc or member.name
    if not member.put:
        doc += " (только для чтения)"
    return property(get if member.get else None, put if member.put else None, None, doc)


def _function(interface: str, member: _Member) -> Callable[..., Any]:
    def call(self: Object, *args: Any, **kwargs: Any) -> Any:
        return self._call(member, args, kwargs)

    call.__name__ = member.name
    call.__qualname__ = f"{interface}.{member.name}"
    call.__doc__ = member.doc or member.name
    parameters = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    parameters += [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=_annotation(name, vt))
                   for name, vt in zip(member.params, member.types)]
    call.__signature__ = inspect.Signature(parameters,  # type: ignore[attr-defined]
                                           return_annotation=_VT_NAMES.get(member.result, "Any"))
    return call


_CLASSES: Dict[bytes, type] = {}
_CLASSES_GUARD = threading.Lock()


def _class_of(pointer: int) -> type:
    """The wrapper class of the object's interface, made once per interface from its type
    information; Object for an object without it."""
    info = c_void_p()
    hr = _slot(pointer, _GET_TYPE_INFO, _PROTOTYPES["GetTypeInfo"])(pointer, 0, 0, byref(info))
    if hr < 0 or not info.value:
        return Object
    try:
        iid = GUID()
        if _slot(info.value, _TI_GET_GUID, _PROTOTYPES["TI_GetGuid"])(info.value, byref(iid)) < 0:
            return Object
        key = bytes(iid)
        with _CLASSES_GUARD:
            made = _CLASSES.get(key)
            if made is None:
                interface, doc, members = _describe_members(info.value)
                namespace: Dict[str, Any] = {"__slots__": (), "__doc__": doc or interface, "__module__": __name__,
                                             "_members": {m.name.lower(): m for m in members}, "_iid": iid}
                for member in members:
                    namespace[member.name] = _function(interface, member) if member.method else _property(member)
                bases = (_MIXINS[interface], Object) if interface in _MIXINS else (Object,)
                made = _CLASSES[key] = type(interface, bases, namespace)
        return made
    finally:
        _release_pointer(info.value)


def _wrap(pointer: int) -> Object:
    """The wrapper of a new reference to an IDispatch pointer."""
    try:
        cls = _class_of(pointer)
    except BaseException:
        _release_pointer(pointer)
        raise
    return cls(pointer)


def release(obj: Object) -> None:
    """Releases the object now (or when the calls under way on it return); the wrapper is
    unusable afterwards. The same as the end of a ``with`` block."""
    obj._release()


def Dispatch(progid: str) -> Object:
    """Creates the object of a programmatic identifier ("QelVorlentLib.Vorlent") or of a
    class identifier ("{...}") found in the registry, as a script host does. Classes are
    found once they are registered: by the installed package, by ``vorlent register`` or, for
    a library of a build tree, by :func:`register_server`."""
    clsid = GUID()
    text = _olestr(progid)
    if progid.startswith("{"):
        _check(_lib.QvGUIDFromString(text, byref(clsid)), progid)
    else:
        _check(_lib.QvCLSIDFromProgID(text, byref(clsid)), progid)
    pointer = c_void_p()
    _check(_lib.QvCoCreateInstance(byref(clsid), None, 1, byref(IID_IDispatch), byref(pointer)), progid)
    return _wrap(pointer.value)


def can_unload_now() -> bool:
    """True when the library holds no live objects (DllCanUnloadNow answers S_OK)."""
    return _lib.DllCanUnloadNow() == S_OK


def free_unused_libraries() -> None:
    """Unloads servers loaded for created objects that hold no objects any more."""
    _lib.QvCoFreeUnusedLibraries()


def register_server() -> None:
    """Registers the library's classes in the user's registry (QELVORLENT_REGISTRY)."""
    _check(_lib.DllRegisterServer(), "DllRegisterServer")


def unregister_server() -> None:
    """Removes the library's classes from the user's registry."""
    _check(_lib.DllUnregisterServer(), "DllUnregisterServer")


# ---------------------------------------------------------------- tools functions


def _utf8(text: Optional[str]) -> bytes:
    return (text or "").encode("utf-8")


def _tool(hr: int, function: str) -> None:
    if hr < 0:
        message = _lib.QvToolLastError()
        raise Error(hr, function, message.decode("utf-8", "replace") if message else "")


def _take_memory(pointer: c_void_p, size: Optional[int] = None) -> Optional[bytes]:
    if not pointer.value:
        return None
    try:
        return ctypes.string_at(pointer.value, size) if size is not None else ctypes.string_at(pointer.value)
    finally:
        _lib.QvToolFree(pointer.value)


def create_container(name: str, subject: str, pin: str = "", algorithm: int = KEY_GOST2012_256) -> str:
    """Makes the key container ``name`` of the user's key set with a new key and returns a
    PKCS #10 request (PEM) for ``subject`` ("/CN=.../O=.../INN=..."); a non-empty ``pin``
    protects the key."""
    request = c_void_p()
    _tool(_lib.QvToolCreateContainer(_utf8(name), algorithm, _utf8(subject), _utf8(pin), byref(request)),
          "create_container")
    return (_take_memory(request) or b"").decode("utf-8")


def import_key(name: str, data: bytes, password: str = "", pin: str = "") -> Optional[bytes]:
    """Imports a private key (PKCS #8, PEM or DER, plain or encrypted with ``password``) or a
    PKCS #12 file into the new container ``name``; returns the certificate's DER bytes of a
    PKCS #12 file, else None."""
    certificate = c_void_p()
    size = c_size_t(0)
    _tool(_lib.QvToolImportKey(_utf8(name), bytes(data), len(data), _utf8(password), _utf8(pin),
                               byref(certificate), byref(size)), "import_key")
    return _take_memory(certificate, size.value)


def import_container(folder: TUnion[str, bytes, "os.PathLike[str]"], name: str, pin: Optional[str] = None,
                     slot: int = 0) -> Optional[str]:
    """Imports a key of a key-container folder of the commercial GOST providers' file format
    (header.key, primary.key, masks.key, ...) into the new container ``name`` and puts its
    certificate into "MY" bound to it; returns the certificate's thumbprint, or None when the
    folder has no certificate. ``pin`` None: no PIN when the container has none, else
    QELVORLENT_PIN or the PIN prompt. ``slot`` 1 or 2 chooses the key, 0 the one with a certificate."""
    sha1 = c_void_p()
    _tool(_lib.QvToolImportContainer(os.fsencode(folder), _utf8(name), None if pin is None else _utf8(pin), slot,
                                     byref(sha1)), "import_container")
    thumbprint = _take_memory(sha1)
    return thumbprint.decode("ascii") if thumbprint else None


def key_from_certificate(data: bytes) -> Object:
    """A key object (IVorlentKey) for a certificate, PEM or DER."""
    key = c_void_p()
    _tool(_lib.QvToolKeyFromCertificate(bytes(data), len(data), byref(key)), "key_from_certificate")
    return _wrap(key.value)


def check_detached_signature(content: bytes, signature: bytes, checks: int = 0) -> List[Tuple[str, str, str]]:
    """Verifies a detached CMS signature over ``content`` with the checks chosen
    (CHECK_CHAIN, CHECK_CRL, CHECK_DOWNLOAD); returns (thumbprint, subject, signing time)
    per signer and raises Error when the signature or a check fails."""
    signers = c_void_p()
    _tool(_lib.QvToolCheckDetachedSignature(bytes(content), len(content), bytes(signature), len(signature),
                                            checks, byref(signers)), "check_detached_signature")
    text = (_take_memory(signers) or b"").decode("utf-8", "replace")
    return [tuple(line.split("\t", 2)) for line in text.splitlines() if line]  # type: ignore[misc]


def begin_verification() -> None:
    """Opens a verification run on this thread: checks share downloads and their bounds."""
    _tool(_lib.QvToolBeginVerification(), "begin_verification")


def end_verification() -> None:
    """Closes the thread's verification run."""
    _lib.QvToolEndVerification()


class verification:
    """``with qelvorlent.verification(): ...``: the checks inside are one verification run."""

    def __enter__(self) -> None:
        begin_verification()

    def __exit__(self, *exc: Any) -> None:
        end_verification()


def signing_time(signature: bytes) -> str:
    """The signing time of the first signer ("YYYY-MM-DDThh:mm:ssZ"), "" when there is none."""
    text = c_void_p()
    _tool(_lib.QvToolSigningTime(bytes(signature), len(signature), byref(text)), "signing_time")
    return (_take_memory(text) or b"").decode("utf-8")


_PinPrompt = ctypes.CFUNCTYPE(c_int, c_char_p, c_void_p, c_size_t, c_void_p)
_pin_prompt: Any = None


def set_pin_prompt(prompt: Optional[Callable[[str], Optional[str]]]) -> None:
    """Installs ``prompt(container) -> PIN or None`` for keys protected by a PIN when
    QELVORLENT_PIN is not set; None removes it."""
    global _pin_prompt

    def answer(container: bytes, pin: int, size: int, _context: int) -> int:
        try:
            given = prompt(container.decode("utf-8", "replace"))  # type: ignore[misc]
        except Exception:
            return 0
        if given is None:
            return 0
        data = given.encode("utf-8")
        if len(data) + 1 > size:
            return 0
        ctypes.memmove(pin, data + b"\0", len(data) + 1)
        return 1

    callback = _PinPrompt(answer) if prompt is not None else None
    _lib.QvToolSetPinPrompt(ctypes.cast(callback, c_void_p) if callback else None, None)
    _pin_prompt = callback


def receive(packages: Sequence[TUnion[str, bytes, "os.PathLike[str]"]], directory: TUnion[str, bytes, "os.PathLike[str]"],
            checks: int = 0, jobs: int = 0, callback: Optional[Callable[[dict], Any]] = None) -> List[dict]:
    """Receives a batch of packages in this process (QvToolReceive): each is decrypted in memory,
    its signatures are verified with ``checks`` (CHECK_CHAIN, CHECK_CRL, CHECK_DOWNLOAD) in one
    verification run for the batch, and its documents and signatures go to ``directory``/<name>;
    a package that fails leaves no folder. ``jobs`` threads (0: one per processor). Returns a dict
    per package in the order they ended (package, ok, folder, documents, signatures, errors);
    ``callback(result)`` sees each as it ends, one at a time, and stops the batch by returning
    True (then Error with E_ABORT is raised once the packages in progress end); an exception the
    callback raises stops the batch the same way and is raised again at its end."""

    class Received(Structure):
        _fields_ = [("package", c_char_p), ("folder", c_char_p), ("ok", c_int), ("documents", c_size_t),
                    ("signatures", c_size_t), ("errors", POINTER(c_char_p)), ("errorCount", c_size_t)]

    results: List[dict] = []
    raised: List[BaseException] = []

    def ended(received: Any, _context: Any) -> int:
        r = received.contents
        text = (lambda b: b.decode("utf-8", "replace") if b is not None else None)
        results.append({"package": text(r.package), "ok": bool(r.ok), "folder": text(r.folder),
                        "documents": r.documents, "signatures": r.signatures,
                        "errors": [text(r.errors[i]) for i in range(r.errorCount)]})
        try:
            return 1 if callback is not None and callback(results[-1]) else 0
        except BaseException as error:  # stops the batch; raised again when it has ended
            raised.append(error)
            return 1

    prototype = ctypes.CFUNCTYPE(c_int, POINTER(Received), c_void_p)
    function = _lib.QvToolReceive
    function.restype = c_int32
    function.argtypes = [POINTER(c_char_p), c_size_t, c_char_p, c_int, c_int, prototype, c_void_p]
    paths = (c_char_p * max(len(packages), 1))(*[os.fsencode(p) for p in packages])
    hr = function(paths, len(packages), os.fsencode(directory), checks, jobs, prototype(ended), None)
    if raised:
        raise raised[0]
    _tool(hr, "receive")
    return results
