#ifndef TESTING_TEST_SERVERS_H_
#define TESTING_TEST_SERVERS_H_

// Helpers for tests that run real SSH servers on loopback: a throwaway user,
// a server started on a free port, environment variables put back after the
// test, and reading the files the servers write.

#include <functional>
#include <string>

#include "testing/test_process.h"

/// The whole file; empty when it cannot be read.
std::string ReadAll(const std::string& path);
/// Runs command with /bin/sh; its exit status as std::system gives it.
int Shell(const std::string& command);
/// Whether something accepts a connection on 127.0.0.1:port.
bool Listening(int port);

/// A user added for one test, removed by RemoveThrowawayUser.
struct ThrowawayUser {
  std::string name;
  bool added = false;
};

/// Adds the user prefix + pid with home folder home, shell /bin/sh and the
/// given password (useradd, chpasswd; needs root). name is set, and added
/// once useradd succeeded, even when setting the password then fails.
bool AddThrowawayUser(const std::string& prefix, const std::string& home,
                      const std::string& password, ThrowawayUser* user);
void RemoveThrowawayUser(ThrowawayUser* user);

/// An environment variable as it was before a test changed it.
struct SavedVariable {
  std::string name;
  bool saved = false;
  bool had = false;
  std::string value;
};

void SaveVariable(const std::string& name, SavedVariable* saved);
/// Puts the variable back as SaveVariable found it; nothing if never saved.
void RestoreVariable(SavedVariable* saved);

/// Starts a server on a free loopback port and waits until it listens.
/// start(port, server) starts it; a port may be taken between the look and
/// the server's bind, so a few ports are tried. The port, or -1 with the
/// server stopped.
int StartOnFreePort(const std::function<bool(int port, Child* server)>& start, Child* server);

/// OpenSSH's sshd in the foreground on a free loopback port: host key
/// dir/host_key, password login for user only, forceCommand on every login,
/// the lines of extraConfig added, logging to log. The port, or -1.
int StartSshd(const std::string& dir, const std::string& user, const std::string& forceCommand,
              const std::string& extraConfig, const std::string& log, Child* sshd);

/// The machine's SSH client configuration, which the library reads.
extern const char kSystemSshConfig[];

/// As root: enters a private mount namespace and binds the file at path
/// (written empty) over kSystemSshConfig, so that the SSH library reads the
/// test's own and no other process sees it. False when that cannot be done.
bool OwnSystemSshConfig(const std::string& path);
/// Puts the machine's file back in this namespace.
void ReleaseSystemSshConfig();

/// Replaces every from in *text with to.
void ReplaceAll(std::string* text, const std::string& from, const std::string& to);

/// The base64 field of a public key file (FILE.pub).
std::string PublicBase64(const std::string& pubFile);

/// What sshd's log at log holds after mark (a size of it taken before a
/// client ran), once it shows the connection's end or waitMs have passed.
std::string SshdLogSince(const std::string& log, size_t mark, int waitMs);

/// Whether such a part of sshd's log (LogLevel DEBUG1) shows an attempt
/// with a password, by either method.
bool SshdSawPassword(const std::string& seen);

#endif  // TESTING_TEST_SERVERS_H_
