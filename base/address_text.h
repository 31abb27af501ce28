#ifndef BASE_ADDRESS_TEXT_H_
#define BASE_ADDRESS_TEXT_H_

#include <string>

/// The form OpenSSH gives an address literal (any spelling the resolver
/// reads as a numeric address, such as 127.1 or ::ffff:7f00:1): its
/// numeric text as the system prints it. A name, or text the resolver does
/// not read as an address, comes back unchanged. Nothing is asked of a name
/// server.
std::string CanonicalAddress(const std::string& host);

#endif  // BASE_ADDRESS_TEXT_H_
