#ifndef SSH_SERVER_OFFER_H_
#define SSH_SERVER_OFFER_H_

// What an SSH server offers in its first key exchange message (KEXINIT),
// read on a connection of its own that ends right after it: no key exchange
// is made and nothing but a version line is sent. It tells, for a server that
// shares no algorithm with this side, every kind it shares none of at once;
// the SSH library names only the first, and loses even that when the server
// closes the connection before the library has read its offer.

#include <cstdint>
#include <string>
#include <vector>

#include "ssh_files/ssh_config.h"

/// The server's comma lists, in the order of the message.
struct ServerOffer {
  std::string kex;
  std::string hostKeys;
  std::string ciphersToServer;
  std::string ciphersFromServer;
  std::string macsToServer;
  std::string macsFromServer;
};

/// A server's list without the markers it adds to its key exchanges (strict
/// key exchange, extension negotiation), which are no algorithm to allow.
std::string Offered(const std::string& list);

/// Reads a KEXINIT message's payload (from its message number on). False
/// when it is not one or is cut short.
bool ParseKexInit(const std::string& payload, ServerOffer* offer);

/// The kinds the server shares no algorithm of with the lists this side
/// allows (config's options; the defaults where unset), as supported() says
/// the library can do them. A MAC is not needed with an authenticated cipher
/// (GCM, ChaCha20-Poly1305), as the library then uses none.
std::vector<AlgorithmNeed> AlgorithmNeeds(const ServerOffer& offer, const SshConfig& config,
                                          bool (*supported)(AlgorithmKind kind,
                                                            const std::string& name));

/// Connects to host:port, exchanges version lines and reads the server's
/// KEXINIT, all before deadlineMs (a steady-clock time in ms, as nowMs()
/// gives it). False when that fails.
bool ReadServerOffer(const std::string& host, int port, int64_t deadlineMs,
                     int64_t (*nowMs)(), ServerOffer* offer);

/// Reads the SSH library's words for a key exchange that found nothing
/// common ("kex error : no match for method NAME: server [LIST], client
/// [LIST]") into need's kind and offered list; false for any other words.
bool KexMismatch(const std::string& text, AlgorithmNeed* need);

/// Why the router at hostName:port (named given by the user) shares no
/// algorithm with this side, naming what it offers and the configuration
/// lines that would allow it; empty when it shares one of every kind and
/// the failure was another. direct: the session went straight to the
/// router (not through a proxy), so its offer is read on a connection of
/// its own until deadlineMs; else libraryText is all there is. supported
/// says what the SSH library can do.
std::string NoSharedAlgorithmText(const SshConfig& config, const std::string& given,
                                  const std::string& hostName, int port, bool direct,
                                  const std::string& libraryText,
                                  bool (*supported)(AlgorithmKind kind, const std::string& name),
                                  int64_t deadlineMs);

#endif  // SSH_SERVER_OFFER_H_
