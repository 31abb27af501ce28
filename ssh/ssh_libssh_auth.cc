// Authentication of a session: the keys of an agent and the identity
// files first, then the password by the ways the configuration allows, in
// its order. Nothing is written and nothing is asked of anyone.

#include <string>
#include <vector>

#include "ssh/ssh_libssh_session.h"
#include "ssh_files/small_file.h"
#include "ssh_files/ssh_files.h"

namespace {

constexpr int kMaxKeyboardInteractiveRounds = 8;
// How long the agent may take to answer before it is passed over.
constexpr int kAgentDeadlineMs = 2000;

// The failure an authentication call's result stands for.
SshFailure AuthFailure(OpenSession* open, int rc) {
  if (rc == SSH_AUTH_DENIED || rc == SSH_AUTH_PARTIAL) {
    return open->Fail(SshFailure::kAuthenticationRefused);
  }
  return StepFailure(open, rc);
}

// The password answers a round only when the round asks for exactly one
// thing and does not echo it; a round asking for anything else (a user
// name, a code, several answers) ends the authentication, so the password
// never lands in another field.
SshFailure KeyboardInteractive(OpenSession* open, const char* password) {
  ssh_session session = open->session;
  const auto next = [&] { return ssh_userauth_kbdint(session, nullptr, nullptr); };
  int rc = RunStep(open, SSH_AUTH_AGAIN, next);
  for (int round = 0; rc == SSH_AUTH_INFO && round < kMaxKeyboardInteractiveRounds; ++round) {
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    if (prompts > 0) {
      char echo = 1;
      if (prompts != 1 || ssh_userauth_kbdint_getprompt(session, 0, &echo) == nullptr ||
          echo != 0) {
        return open->Fail(SshFailure::kAuthenticationRefused,
                          "the router asked for more than the password.");
      }
      if (ssh_userauth_kbdint_setanswer(session, 0, password) < 0) {
        return open->Fail(SshFailure::kOther, ssh_get_error(session));
      }
    }
    rc = RunStep(open, SSH_AUTH_AGAIN, next);
  }
  if (rc == SSH_AUTH_INFO) {
    return open->Fail(SshFailure::kAuthenticationRefused,
                      "the router kept asking without accepting the password.");
  }
  return rc == SSH_AUTH_SUCCESS ? SshFailure::kNone : AuthFailure(open, rc);
}

// No passphrase is ever asked for: a scheduled run has nobody to type it,
// so a key that needs one is skipped.
int NoPassphrase(const char*, char*, size_t, int, int, void*) { return -1; }

// One identity file, used the way OpenSSH uses it: the public half is
// offered first (FILE.pub, or the private file when it has no passphrase),
// and the private key is read and used only when the server would take it.
bool IdentityFileAccepted(const OpenSession* open, const std::string& path) {
  ssh_session session = open->session;
  // libssh opens them blocking and reads them whole: a FIFO or device is
  // skipped before it gets there.
  if (CheckSmallFile(path, kSshFileMaxBytes) != SmallFileStatus::kRead) return false;
  const bool publicHalfUsable =
      CheckSmallFile(path + ".pub", kSshFileMaxBytes) == SmallFileStatus::kRead;
  ssh_key publicKey = nullptr;
  ssh_key privateKey = nullptr;
  if (!publicHalfUsable ||
      ssh_pki_import_pubkey_file((path + ".pub").c_str(), &publicKey) != SSH_OK) {
    publicKey = nullptr;
    if (ssh_pki_import_privkey_file(path.c_str(), nullptr, NoPassphrase, nullptr,
                                    &privateKey) != SSH_OK ||
        ssh_pki_export_privkey_to_pubkey(privateKey, &publicKey) != SSH_OK) {
      ssh_key_free(privateKey);
      return false;
    }
  }
  bool accepted = false;
  if (RunStep(open, SSH_AUTH_AGAIN,
              [&] { return ssh_userauth_try_publickey(session, nullptr, publicKey); }) ==
          SSH_AUTH_SUCCESS &&
      (privateKey != nullptr ||
       ssh_pki_import_privkey_file(path.c_str(), nullptr, NoPassphrase, nullptr,
                                   &privateKey) == SSH_OK)) {
    accepted = RunStep(open, SSH_AUTH_AGAIN, [&] {
                 return ssh_userauth_publickey(session, nullptr, privateKey);
               }) == SSH_AUTH_SUCCESS;
  }
  ssh_key_free(publicKey);
  ssh_key_free(privateKey);
  return accepted;
}

// The keys of a running agent (unless IdentitiesOnly), then the identity
// files: the configured ones, else the default ones. Nothing is written and
// nothing is asked for.
bool PublicKeyAccepted(const OpenSession* open) {
#ifndef _WIN32
  ssh_session session = open->session;
  if (open->useAgent && AgentNamed() && !open->identitiesOnly &&
      AgentAnswers(kAgentDeadlineMs) &&
      RunStep(open, SSH_AUTH_AGAIN, [&] { return ssh_userauth_agent(session, nullptr); }) ==
          SSH_AUTH_SUCCESS) {
    return true;
  }
#endif
  for (const std::string& path : open->identityFiles) {
    if (IdentityFileAccepted(open, path)) return true;
  }
  return false;
}

}  // namespace

SshFailure Authenticate(OpenSession* open, const char* password) {
  ssh_session session = open->session;
  // "none" first: it returns the methods the server offers.
  const int none =
      RunStep(open, SSH_AUTH_AGAIN, [&] { return ssh_userauth_none(session, nullptr); });
  if (none == SSH_AUTH_SUCCESS) return SshFailure::kNone;
  if (none != SSH_AUTH_DENIED && none != SSH_AUTH_PARTIAL) return AuthFailure(open, none);
  int methods = ssh_userauth_list(session, nullptr);
  // The password goes out only when no key was accepted.
  if ((methods & SSH_AUTH_METHOD_PUBLICKEY) != 0 && open->pubkeyAuthentication) {
    if (PublicKeyAccepted(open)) return SshFailure::kNone;
    methods = ssh_userauth_list(session, nullptr);
  }
  // Only by a way the configuration allows, in its order.
  const bool passwordOffered = (methods & SSH_AUTH_METHOD_PASSWORD) != 0;
  const bool interactiveOffered = (methods & SSH_AUTH_METHOD_INTERACTIVE) != 0;
  const bool byPassword = passwordOffered && open->password.allowed;
  const bool byInteractive = interactiveOffered && open->keyboardInteractive.allowed;
  if (byPassword && !(byInteractive && open->keyboardInteractiveFirst)) {
    const int rc = RunStep(open, SSH_AUTH_AGAIN,
                           [&] { return ssh_userauth_password(session, nullptr, password); });
    return rc == SSH_AUTH_SUCCESS ? SshFailure::kNone : AuthFailure(open, rc);
  }
  if (byInteractive) return KeyboardInteractive(open, password);
  if (!passwordOffered && !interactiveOffered) {
    return open->Fail(SshFailure::kAuthenticationRefused,
                      "the router offers no password authentication.");
  }
  std::vector<std::string> excluded;
  if (passwordOffered) {
    excluded.push_back("password authentication by " + open->password.excludedBy);
  }
  if (interactiveOffered) {
    excluded.push_back("keyboard-interactive by " + open->keyboardInteractive.excludedBy);
  }
  std::string text = "the password was not sent: the SSH configuration excludes ";
  for (size_t i = 0; i < excluded.size(); ++i) text += (i > 0 ? ", and " : "") + excluded[i];
  return open->Fail(SshFailure::kAuthenticationRefused, text + ".");
}

SshFailure RequestAuthService(OpenSession* open) {
  ssh_session session = open->session;
  const int rc =
      RunStep(open, SSH_AGAIN, [&] { return ssh_service_request(session, "ssh-userauth"); });
  return rc == SSH_OK ? SshFailure::kNone : StepFailure(open, rc);
}
