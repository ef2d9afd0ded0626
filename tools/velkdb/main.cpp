// velkdb -- the command-line tool for velfiledb key databases.
//
// One program with sub-commands; `velkdb --help` lists them and
// `velkdb COMMAND --help` describes one.  Errors print one line,
// "velkdb: error 0xNNNNN (meaning): detail", and exit with status 1 (2 for a
// command line that does not parse).
#include <openssl/crypto.h>
#include <openssl/opensslv.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "interrupt.h"
#include "lifecycle.h"
#include "lockwait.h"
#include "text.h"

using namespace velkdb;

namespace {

// The project's version, from CMake.
const char* const kVersion = VELKDB_VERSION;

// The process holds passwords and private keys in memory: no core file
// is written of it, and no other process of the same user may read its
// memory (ptrace, /proc/PID/mem).
void protectProcess() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit none {0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

void printVersion() {
  std::cout << "velkdb " << kVersion << "\n"
            << "built with " << OPENSSL_VERSION_TEXT << ", running " << OpenSSL_version(OPENSSL_VERSION) << "\n";
}

// The commands in the order the help lists them.
std::vector<Command> declareCommands(CLI::App& root) {
  using Add = Command (*)(CLI::App&);
  const Add adds[] = {addCreate, addInfo,   addVerify,  addRecover, addImport, addRequest, addSelfSign,
                      addSign,   addRevoke, addCRL,     addList,    addShow,   addExport,  addDelete,
                      addRename, addTrust,  addBackup,  addPasswd,  addExpire, addUpgrade, addVerifyChain, addDemo};
  std::vector<Command> commands;
  for (Add add : adds) commands.push_back(add(root));
  return commands;
}

const Command* findCommand(const std::vector<Command>& commands, const std::string& name) {
  for (const Command& c : commands) {
    if (c.app->get_name() == name) return &c;
  }
  return nullptr;
}

void printMainHelp(const std::vector<Command>& commands) {
  std::cout << "velkdb -- keep certificates, private keys, key pairs and CRLs in a velfiledb database\n\n"
               "usage: velkdb COMMAND [OPTIONS] [ARGUMENTS]\n       velkdb COMMAND --help\n       velkdb --version\n\ncommands:\n";
  for (const Command& c : commands) {
    char line[128];
    std::snprintf(line, sizeof line, "  %-12s %s\n", c.app->get_name().c_str(), c.app->get_description().c_str());
    std::cout << line;
  }
  std::cout << "\n"
            << wrap("Passwords are never taken from the command line: the database password comes from "
                    "--password-file FILE, the environment variable VELKDB_PASSWORD, or a prompt without echo "
                    "on the terminal; --default-password uses the library's built-in default password, and "
                    "only when asked for.  A password file that is not your own regular file, FIFO or socket, "
                    "or that others than its owner may read, is used with a warning.  The database is named with -d BASE or VELKDB_DB.",
                    0)
            << "\n"
            << wrap("Errors print one line with the error number and its meaning, and exit with status 1 "
                    "(2 for a command line that does not parse).  list --expiring, list --expired and "
                    "verify-chain also exit with status 1 when they find something ending or a certificate "
                    "that does not verify.  A command that finds the database in use by another waits for it "
                    "(--wait SECONDS, 5 by default).",
                    0);
  std::cout << "\n"
            << wrap("Ctrl-C (SIGINT), SIGTERM or SIGHUP stops a command at the next record: a change it was "
                    "making is rolled back whole, it says \"interrupted\" and exits with status 128 + the "
                    "signal's number (130 for Ctrl-C).  A change that a killed process left is finished by the "
                    "next command that writes, or by velkdb recover.",
                    0);
}

}  // namespace

int main(int argc, char** argv) {
  protectProcess();
  CLI::App root("velkdb");
  root.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  root.require_subcommand(1);
  const std::vector<Command> commands = declareCommands(root);
  if (argc >= 2 && std::string(argv[1]) == "--version") {
    printVersion();
    return 0;
  }
  if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
      std::string(argv[1]) == "help") {
    if (argc >= 3 && std::string(argv[1]) == "help") {
      if (const Command* c = findCommand(commands, argv[2])) {
        printCommandHelp(*c);
        return 0;
      }
    }
    printMainHelp(commands);
    return argc < 2 ? 2 : 0;
  }
  const std::string name = argv[1];
  const Command* command = findCommand(commands, name);
  if (command == nullptr) {
    std::cerr << "velkdb: error 0x8B67A (bad argument): unknown command \"" << printable(name)
              << "\"; see velkdb --help\n";
    return 2;
  }
  try {
    try {
      root.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      printCommandHelp(*command);
      return 0;
    } catch (const CLI::ParseError& e) {
      throw UsageError(e.what());
    }
    const int status = runInterruptible(command->run);
    std::cout.flush();
    return std::cout.good() ? status : 1;
  } catch (const UsageError& e) {
    std::cerr << "velkdb: error 0x8B67A (bad argument): " << printable(e.what()) << "; see velkdb " << name
              << " --help\n";
    return 2;
  } catch (const VELException& e) {
    std::cout.flush();
    std::cerr << "velkdb: " << errorLine(e) << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "velkdb: error: " << printable(e.what()) << "\n";
    return 1;
  }
}
