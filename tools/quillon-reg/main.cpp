// quillon-reg: a small command-line editor of Quillon's rule hive, for scripts and for users
// who keep their rules in .reg files.

#include "LogCommand.h"
#include "RegFile.h"
#include "core/settings/RuleEntry.h"
#include "core/settings/modReg.h"
#include "platform/RegistryHive.h"

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QStringDecoder>
#include <cstdio>
#include <optional>
#include <vector>

using quillon::platform::RegistryHive;
namespace regfile = quillon::regfile;

namespace {

// Exit codes, also listed by --help.
constexpr int kDone = 0;
constexpr int kNotFound = 1;
constexpr int kBadInput = 2;
constexpr int kHiveFailed = 3;

const char* const kUsage = R"(Usage: quillon-reg [--hive FILE] COMMAND ARGUMENTS

Reads and edits Quillon's rule hive, the database that holds its settings and rules.

Commands:
  query  KEY [NAME]      print every value of KEY as NAME<TAB>DATA lines, in enumeration
                         order, or the data of the value NAME alone
  add    KEY NAME DATA   set the string value NAME of KEY to DATA, creating keys as needed
  delete KEY NAME        delete the value NAME of KEY
  export KEY FILE        write KEY and its sub-keys to FILE as a .reg text file
                         ("Windows Registry Editor Version 5.00", UTF-8); FILE - is stdout
  import FILE            apply a .reg text file, all of it or, on any error, none of it;
                         FILE - is stdin
  log [--csv] [FILE]     print Quillon's event log in UTF-8, one record a line, its fields
                         separated by tabs, or with --csv as CSV with ISO 8601 times; FILE
                         defaults to WDlog.log beside the program, - is stdin

KEY is a full path below HKEY_LOCAL_MACHINE (HKLM for short), for example
  "HKEY_LOCAL_MACHINE\SOFTWARE\Larkspire Works\LarkPF\block\ip"
Keys and names are matched ignoring letter case, as the registry does. The empty NAME ""
is the key's unnamed default value (written @= in .reg files).

Options:
  --hive FILE   the hive to use (default: /var/lib/quillon/registry.db)
  -h, --help    show this text
  --version     show the version

Exit status: 0 done; 1 KEY, NAME or the log file not found; 2 bad usage or bad input
(unknown root, malformed .reg file); 3 the hive or the log cannot be read or written.
)";

void printOut(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// A failed write (a closed pipe, a full disk) must not pass for a printed answer.
int printText(const char* text) {
    return std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 ? kDone : kHiveFailed;
}

int complain(int code, const QString& message) {
    const QByteArray bytes = (QStringLiteral("quillon-reg: ") + message + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    return code;
}

int usage(const QString& message) {
    complain(kBadInput, message);
    std::fputs("Try 'quillon-reg --help'.\n", stderr);
    return kBadInput;
}

// The hive's own reason for a failure, or a general one.
int hiveFailed(RegistryHive& hive, const QString& doing) {
    const QString why = hive.lastError();
    return complain(kHiveFailed, doing + (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
}

// A key argument checked for its root; on failure the message is already printed.
std::optional<QString> keyArgument(const QString& arg) {
    auto below = regfile::pathBelowRoot(arg);
    if (!below) {
        // Unquoted, a shell turns HKLM\SOFTWARE\... into HKLMSOFTWARE...: say so.
        complain(
            kBadInput,
            QStringLiteral("unknown root in \"%1\": keys are below %2 (or HKLM)%3")
                .arg(arg, regfile::RootName,
                     arg.contains(u'\\')
                         ? QString()
                         : QStringLiteral(" (quote the key: the shell takes the backslashes)")));
    }
    return below;
}

// Whether the key exists; a failed read is reported and gives nullopt.
std::optional<bool> keyExists(RegistryHive& hive, const QString& key) {
    if (hive.keyExists(key)) {
        return true;
    }
    if (!hive.lastError().isEmpty()) {
        return std::nullopt;
    }
    return false;
}

int query(RegistryHive& hive, const QString& arg, const std::optional<QString>& name) {
    const auto key = keyArgument(arg);
    if (!key) {
        return kBadInput;
    }
    if (name) {
        QString data;
        switch (hive.lookup(*key, *name, data, RegistryHive::Match::IgnoreCase)) {
        case RegistryHive::Lookup::Found:
            printOut(data + u'\n');
            return kDone;
        case RegistryHive::Lookup::Missing:
            return complain(kNotFound, QStringLiteral("no value \"%1\" in %2").arg(*name, arg));
        case RegistryHive::Lookup::Failed:
            break;
        }
        return hiveFailed(hive, QStringLiteral("cannot read %1").arg(hive.path()));
    }
    std::vector<std::pair<QString, QString>> values;
    if (!hive.values(*key, values)) {
        const auto exists = keyExists(hive, *key);
        if (exists && !*exists) {
            return complain(kNotFound, QStringLiteral("no key %1").arg(arg));
        }
        return hiveFailed(hive, QStringLiteral("cannot read %1").arg(hive.path()));
    }
    QString out;
    for (const auto& [n, d] : values) {
        out += n + u'\t' + d + u'\n';
    }
    printOut(out);
    return kDone;
}

bool isAddressRuleKey(const QString& key) {
    QString path = key;
    while (path.endsWith(u'\\')) {
        path.chop(1);
    }
    return path.compare(quillon::settings::modReg::BlockIpKey, Qt::CaseInsensitive) == 0;
}

int add(RegistryHive& hive, const QString& arg, const QString& name, const QString& data) {
    const auto key = keyArgument(arg);
    if (!key) {
        return kBadInput;
    }
    // What export could not write back is refused here, so every hive stays exportable.
    if (const QString why = regfile::refusal(*key, name, data); !why.isEmpty()) {
        return complain(kBadInput, why);
    }
    QString stored = name;
    if (isAddressRuleKey(*key)) {
        // The program looks an address rule up by the exact text its list shows: "2001:DB8::1"
        // would be a rule that never matches, so it is stored as "2001:db8::1". The hive keeps
        // a name's first spelling when a value is set again, so an address stored before in
        // another spelling is deleted and stored anew.
        if (const auto canonical = quillon::settings::RuleEntry::address(name)) {
            stored = *canonical;
            std::vector<std::pair<QString, QString>> values;
            if (!hive.values(*key, values) && !hive.lastError().isEmpty()) {
                return hiveFailed(hive, QStringLiteral("cannot read %1").arg(hive.path()));
            }
            for (const auto& [other, otherData] : values) {
                if (other != stored &&
                    quillon::settings::RuleEntry::address(other).value_or(QString()) == stored) {
                    if (!hive.deleteValue(*key, other)) {
                        return hiveFailed(hive, QStringLiteral("cannot write %1").arg(hive.path()));
                    }
                    complain(kDone, QStringLiteral("renamed \"%1\" to \"%2\", the address "
                                                   "text Quillon matches")
                                        .arg(other, stored));
                }
            }
            if (stored != name) {
                complain(kDone, QStringLiteral("storing \"%1\" as \"%2\", the address text Quillon "
                                               "matches")
                                    .arg(name, stored));
            }
        }
    }
    if (!hive.setValue(*key, stored, data)) {
        return hiveFailed(hive, QStringLiteral("cannot write %1").arg(hive.path()));
    }
    return kDone;
}

int remove(RegistryHive& hive, const QString& arg, const QString& name) {
    const auto key = keyArgument(arg);
    if (!key) {
        return kBadInput;
    }
    // Unlike the program's own delete, the editor creates no key and says when there was
    // nothing to delete.
    QString data;
    switch (hive.lookup(*key, name, data, RegistryHive::Match::IgnoreCase)) {
    case RegistryHive::Lookup::Found:
        break;
    case RegistryHive::Lookup::Missing:
        return complain(kNotFound, QStringLiteral("no value \"%1\" in %2").arg(name, arg));
    case RegistryHive::Lookup::Failed:
        return hiveFailed(hive, QStringLiteral("cannot read %1").arg(hive.path()));
    }
    if (!hive.deleteValue(*key, name)) {
        return hiveFailed(hive, QStringLiteral("cannot write %1").arg(hive.path()));
    }
    return kDone;
}

int exportKey(RegistryHive& hive, const QString& arg, const QString& file) {
    const auto key = keyArgument(arg);
    if (!key) {
        return kBadInput;
    }
    // A hive refused for schema objects someone else planted is still read for its values
    // here (never written), so that the rules can be carried to a new hive.
    hive.allowForeignSchemaReads(true);
    std::vector<RegistryHive::KeyContents> tree;
    if (!hive.tree(*key, tree)) {
        const auto exists = keyExists(hive, *key);
        if (exists && !*exists) {
            return complain(kNotFound, QStringLiteral("no key %1").arg(arg));
        }
        return hiveFailed(hive, QStringLiteral("cannot read %1").arg(hive.path()));
    }
    if (!hive.lastError().isEmpty()) {
        complain(kDone, QStringLiteral("warning: %1").arg(hive.lastError()));
    }
    std::vector<regfile::Section> sections;
    for (const auto& k : tree) {
        regfile::Section section{k.path, {}};
        for (const auto& [n, d] : k.values) {
            section.entries.push_back({n, d});
        }
        sections.push_back(std::move(section));
    }
    QByteArray bytes;
    QString error;
    if (!regfile::write(sections, bytes, error)) {
        return complain(kBadInput, error);
    }
    if (file == u"-") {
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        return std::fflush(stdout) == 0 ? kDone
                                        : complain(kBadInput, QStringLiteral("cannot write"));
    }
    // Written aside and renamed into place, so an interrupted export never leaves half a file
    // where a good one was.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        return complain(kBadInput,
                        QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    }
    return kDone;
}

int import(RegistryHive& hive, const QString& file) {
    QFile in;
    const bool opened = file == u"-" ? in.open(stdin, QIODevice::ReadOnly)
                                     : (in.setFileName(file), in.open(QIODevice::ReadOnly));
    if (!opened) {
        return complain(kBadInput,
                        QStringLiteral("cannot read %1: %2").arg(file, in.errorString()));
    }
    const QByteArray bytes = in.readAll();
    const regfile::Parsed parsed = regfile::parse(bytes);
    if (!parsed.ok()) {
        return complain(kBadInput,
                        QStringLiteral("%1: %2; nothing was imported")
                            .arg(file == u"-" ? QStringLiteral("stdin") : file, parsed.error));
    }
    std::vector<RegistryHive::Change> changes;
    using Kind = RegistryHive::Change::Kind;
    for (const regfile::Section& section : parsed.sections) {
        changes.push_back({Kind::CreateKey, section.key, {}, {}});
        for (const regfile::Entry& entry : section.entries) {
            if (entry.data) {
                changes.push_back({Kind::SetValue, section.key, entry.name, *entry.data});
            } else {
                changes.push_back({Kind::DeleteValue, section.key, entry.name, {}});
            }
        }
    }
    if (!hive.apply(changes)) {
        return hiveFailed(hive,
                          QStringLiteral("cannot write %1; nothing was imported").arg(hive.path()));
    }
    return kDone;
}

} // namespace

int main(int argc, char** argv) {
    // Arguments are taken as UTF-8 whatever the locale, like the files the tool writes.
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        args << decoder(QByteArrayView(argv[i]));
        // Bytes that are not UTF-8 would be stored as replacement characters: not what was
        // given.
        if (decoder.hasError()) {
            return usage(QStringLiteral("argument %1 is not UTF-8 text").arg(i));
        }
    }
    QString hivePath = RegistryHive::defaultPath();
    while (!args.isEmpty() && (args.front().startsWith(u"--") || args.front() == u"-h")) {
        const QString option = args.takeFirst();
        if (option == u"--help" || option == u"-h") {
            return printText(kUsage);
        }
        if (option == u"--version") {
            return printText("quillon-reg " QUILLON_VERSION "\n");
        }
        if (option == u"--hive") {
            if (args.isEmpty()) {
                return usage(QStringLiteral("--hive needs a FILE"));
            }
            hivePath = args.takeFirst();
        } else if (option.startsWith(u"--hive=")) {
            hivePath = option.mid(7);
        } else {
            return usage(QStringLiteral("unknown option %1").arg(option));
        }
    }
    if (args.isEmpty()) {
        return usage(QStringLiteral("no command given"));
    }
    const QString command = args.takeFirst();
    if (command == u"log") {
        // The log is no part of the hive: --hive has no bearing on it.
        return quillon::regtool::logCommand(args);
    }
    const auto arity = [&](qsizetype low, qsizetype high) {
        return args.size() >= low && args.size() <= high;
    };
    RegistryHive hive(hivePath);
    if (command == u"query" && arity(1, 2)) {
        return query(hive, args[0], args.size() == 2 ? std::optional(args[1]) : std::nullopt);
    }
    if (command == u"add" && arity(3, 3)) {
        return add(hive, args[0], args[1], args[2]);
    }
    if (command == u"delete" && arity(2, 2)) {
        return remove(hive, args[0], args[1]);
    }
    if (command == u"export" && arity(2, 2)) {
        return exportKey(hive, args[0], args[1]);
    }
    if (command == u"import" && arity(1, 1)) {
        return import(hive, args[0]);
    }
    if (command == u"query" || command == u"add" || command == u"delete" || command == u"export" ||
        command == u"import") {
        return usage(QStringLiteral("wrong number of arguments for %1").arg(command));
    }
    return usage(QStringLiteral("unknown command %1").arg(command));
}
