// cli.h -- velkdb's command line: the options every command shares, the
// record selector, and how a command is declared and described.
//
// Each command file declares its sub-command (its options bound to a struct
// of its own, checked where they are declared) and hands back a `Command`:
// the sub-command, the text of its help, and what runs it.  A value that is
// refused ends the parse with exit status 2 before anything is opened.
#ifndef VELKDB_CLI_H
#define VELKDB_CLI_H

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "commands.h"
#include "issuing.h"

namespace velkdb {

// The database options (DbOptions) and --wait.
void addDatabaseOptions(CLI::App* app, DbOptions& db);
// Only --password-file and --default-password (the demo makes its own
// database).
void addPasswordOptions(CLI::App* app, DbOptions& db);

// An option whose text `parse` turns into its value; `parse` throws
// UsageError, which ends the parse with exit status 2.
CLI::Option* addParsed(CLI::App* app, const std::string& name, const std::string& metavar, const std::string& help,
                       std::function<void(const std::string&)> parse);

// --table keys|keypairs|crls (also key, keypair, crl).
CLI::Option* addTableOption(CLI::App* app, bool& hasTable, Table& table, const std::string& help);

// What makes a new key, for request and selfsign: --subject NAME
// (required; `whose` says whose subject it is in the help), --key TYPE and
// --label LABEL (`what` is labelled).
struct KeyType;
void addNewKeyOptions(CLI::App* app, std::string& subject, KeyType& key, std::string& label, const std::string& whose,
                      const std::string& what);
// The help of --san.
extern const char* const kSubjectAltNamesHelp;

// The decimal number TEXT of OPTION, from `least` to `most`; a UsageError
// otherwise (signs, spaces, other bases and overflow included).
int numberOption(const std::string& option, const std::string& text, int least, int most);
// What a new certificate says, for selfsign and sign: --days N, --ca
// (when `caFlag`), --path-length N (with --ca only), --san NAMES and --eku
// LIST.  Without `caFlag` the command checks --path-length itself.
void addProfileOptions(CLI::App* app, CertificateProfile& profile, bool caFlag = true);

// What a CA's CRL takes, for revoke and crl: --ca LABEL (required; its
// help is `caHelp`) and --days N (1 to 36500).
void addCAOptions(CLI::App* app, std::string& ca, int& days, const std::string& caHelp);

// What names a record: LABEL (when `positional`), --label, --id, --subject
// and --table; with `certificates` also --issuer, --serial and
// --fingerprint.  `checkSelector` refuses anything but exactly one name.
enum class SelectorKind { Record, Certificate };
void addSelector(CLI::App* app, Selector& selector, SelectorKind kind, bool positional);
// Takes LABEL as the --label it stands for.
void checkSelector(Selector& selector, SelectorKind kind);
// True when any record name was given (--all takes none).
bool anyRecordName(const Selector& selector);

// What a command's help says: its name and summary (in velkdb --help), its
// synopsis and description (in velkdb COMMAND --help; see
// `formatDescription` for how the description is written).
struct CommandText {
  const char* name;
  const char* summary;
  const char* synopsis;
  const char* description;
};

// Which paragraphs on naming a record a command's help adds.
enum class SelectorHelp { None, Record, Certificate };

// A sub-command and how it is described and run.
struct Command {
  CLI::App* app;
  CommandText text;
  std::function<int()> run;
  SelectorHelp selectorHelp = SelectorHelp::None;
};

// A command that takes only the database options.
Command databaseCommand(CLI::App& root, const CommandText& text, int (*run)(const DbOptions&));

// A command that takes the database options and one record's name
// (certificates too), --table searching only that table; the name is
// checked before `run` runs.
struct RecordOptions {
  DbOptions db;
  Selector selector;
};
Command selectorCommand(CLI::App& root, const CommandText& text, const std::string& tableHelp,
                        int (*run)(const RecordOptions&));

// The help of one command, and of velkdb; `wrap` breaks text into lines of
// at most `width` columns indented by `indent`.
void printCommandHelp(const Command& command);
std::string wrap(const std::string& text, std::size_t indent, std::size_t width = 78);

// A command's description as its help prints it.  Blank lines part
// paragraphs, and a paragraph's line ends read as spaces; a line indented by
// two spaces is a row of a table, its term then two spaces or more then its
// text, which lines indented further continue.  Text is wrapped to 78
// columns, a row's text from column `kRowIndent`.
constexpr std::size_t kRowIndent = 24;
std::string formatDescription(const std::string& description);

// The commands, one per file (commands/NAME.cpp).
Command addCreate(CLI::App& root);
Command addInfo(CLI::App& root);
Command addVerify(CLI::App& root);
Command addRecover(CLI::App& root);
Command addImport(CLI::App& root);
Command addRequest(CLI::App& root);
Command addSelfSign(CLI::App& root);
Command addSign(CLI::App& root);
Command addRevoke(CLI::App& root);
Command addCRL(CLI::App& root);
Command addList(CLI::App& root);
Command addShow(CLI::App& root);
Command addExport(CLI::App& root);
Command addBackup(CLI::App& root);
Command addDelete(CLI::App& root);
Command addRename(CLI::App& root);
Command addTrust(CLI::App& root);
Command addPasswd(CLI::App& root);
Command addExpire(CLI::App& root);
Command addUpgrade(CLI::App& root);
Command addVerifyChain(CLI::App& root);
Command addDemo(CLI::App& root);

}  // namespace velkdb

#endif
