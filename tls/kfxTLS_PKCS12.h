// What a PKCS#12 file holds when opened with a password, as either TLS
// layer reads it, so that a program can check the file before it connects.
#pragma once

enum class TPKCS12FileContent { p12Unreadable, p12NotPKCS12, p12WrongPassword, p12NoKeyPair, p12KeyPair };
