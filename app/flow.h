#ifndef APP_FLOW_H_
#define APP_FLOW_H_

#include <string>

/// The five values of the command line, stripped of their prefixes, and
/// the optional sixth.
struct RebootRequest {
  std::string user;
  std::string password;
  std::string port;
  std::string verbose;
  std::string address;
  // Whether the sixth parameter begins with "/wait:", and what follows that
  // prefix: how long to wait for the router to go down and come back.
  bool hasWait = false;
  std::string wait;
  // Whether a parameter after the fifth asks for the fleet's preflight
  // (/check:), which this command does not take.
  bool asksCheck = false;
};

/// The whole run between console start-up and shutdown: SSH library start,
/// usage screen or reboot session, closing message and pause or key wait,
/// SSH library release. Returns the exit status: 0 after the usage screen or
/// an answer delivered to a router that reported no failure; otherwise one
/// status per reason (1 when the library could not start or for a failure
/// of no other kind).
int RunProgramFlow();

#endif  // APP_FLOW_H_
