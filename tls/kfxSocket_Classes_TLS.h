// The TLS choices of the socket options (kfxSocket_Classes): which handler,
// which protocol version, which OpenSSL interface generation and library
// folder, which SChannel certificate store. The TLS handlers take these values
// themselves, so they sit at the TLS layer; the option objects that publish
// them, and their value names, stay with the TCP client's options.
#pragma once

enum class TwsTLSIOHandler { iohOpenSSL, iohSChannel };
enum class TwsTLSVersions { tlsUndefined, tls1_0, tls1_1, tls1_2, tls1_3 };
enum class TwsOpenSSLAPI { oslAPI_1_0, oslAPI_1_1 };
enum class TwsOpenSSLLibPath { oslpNone, oslpDefaultFolder };
enum class TkfxSChannelCertStoreName { scsnMY, scsnRoot, scsnTrust, scsnCA };
enum class TkfxSChannelCertStorePath { scspStoreCurrentUser, scspStoreLocalMachine };
