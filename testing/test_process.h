#ifndef TESTING_TEST_PROCESS_H_
#define TESTING_TEST_PROCESS_H_

// Helpers for tests that run other programs: a temporary folder, a child
// process whose stdout is read line by line, and the simulator's JSON log.

#include <sys/types.h>

#include <string>
#include <vector>

/// A fresh folder under TMPDIR (or /tmp); empty on failure.
std::string MakeTempDir();
/// Removes a folder and everything in it.
void RemoveTree(const std::string& path);
bool WriteFile(const std::string& path, const std::string& text);
/// The names in a folder, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);

struct Child {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
};

/// Starts argv[0] with stdin from /dev/null and stdout to a pipe.
bool StartChild(const std::vector<std::string>& argv, Child* child);
/// One line of the child's stdout, without its line feed, within timeoutMs.
bool ReadChildLine(Child* child, int timeoutMs, std::string* line);
/// Ends the child (SIGTERM, then SIGKILL after two seconds) and reaps it.
void StopChild(Child* child);
/// Waits up to timeoutMs for the child to end; its exit status, or -1.
int WaitChild(Child* child, int timeoutMs);

/// A port on 127.0.0.1 that nothing listened on a moment ago.
int FreeLoopbackPort();

/// The lines of the file once it has at least count of them, waiting up to
/// timeoutMs; whatever it has by then otherwise.
std::vector<std::string> WaitForLines(const std::string& path, size_t count, int timeoutMs);

/// A field of a one-line JSON object as the simulator writes it: strings
/// decoded, other values as written ("true", "null", "1234"); "<missing>"
/// when absent.
std::string JsonField(const std::string& line, const std::string& key);

/// A new OpenSSH key pair at path and path.pub (ssh-keygen), of type
/// "ed25519" or "ecdsa", protected by passphrase when it is not empty.
bool MakeKeyPair(const std::string& path, const std::string& type,
                 const std::string& passphrase);

/// An ssh-agent in the foreground, listening on socketPath, holding the
/// private keys of keyFiles. Stop it with StopChild.
bool StartAgent(const std::string& socketPath, const std::vector<std::string>& keyFiles,
                Child* agent);

#endif  // TESTING_TEST_PROCESS_H_
