#pragma once
// The queue server the benchmark measures: this tree's build, or the
// telvoro-smsd and telvoro-admin of another folder (--smsd DIR), such as a
// build of an earlier commit, so that both are measured by the same bench in
// one sitting. Another build makes its tables with its own telvoro-admin init
// (the schema that build expects) and is given only the options its --help
// names: an optional one it lacks is left out, any other is an error.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <stdexcept>
#include <string>
#include <vector>

namespace telvoro::bench {

class SmsdUnderTest {
public:
    // `other` empty: this tree's build in `own`.
    SmsdUnderTest(const std::string& other, const std::string& own)
        : own_(other.empty()), folder_(own_ ? own : other) {
        if (own_) return;
        help_ = Output("telvoro-smsd", {QStringLiteral("--help")});
        adminHelp_ = Output("telvoro-admin", {QStringLiteral("--help")});
    }

    bool Own() const { return own_; }
    const std::string& Folder() const { return folder_; }
    std::string Program() const { return folder_ + "/telvoro-smsd"; }

    // Whether telvoro-smsd takes `option` ("--report-url").
    bool Takes(const std::string& option) const { return own_ || Names(help_, option); }
    // Whether telvoro-admin has `command` ("optout").
    bool AdminHas(const std::string& command) const { return own_ || Names(adminHelp_, command); }

    // The tables as that build's telvoro-admin makes them.
    void InitTables(const std::string& db) const {
        Output("telvoro-admin",
               {QStringLiteral("--db"), QString::fromStdString(db), QStringLiteral("init")});
    }

    // `args`, option and value pairs, without the optional options it does not take.
    std::vector<std::string> Command(const std::vector<std::string>& args) const {
        std::vector<std::string> kept;
        for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
            if (Takes(args[i])) {
                kept.push_back(args[i]);
                kept.push_back(args[i + 1]);
            } else if (!Optional(args[i])) {
                throw std::runtime_error(Program() + " takes no " + args[i]);
            }
        }
        return kept;
    }

    // The optional options it does not take, for the heading.
    std::string Missing() const {
        std::string missing;
        for (const char* option : kOptional)
            if (!Takes(option)) missing += (missing.empty() ? "" : ", ") + std::string(option);
        return missing;
    }

private:
    // Left out for a build that lacks them: the sender number, the timing
    // relay in front of the report endpoint (its figures go missing), the
    // worker's name, Kannel's config (a build that cannot read it does not
    // look at Kannel's store either).
    static constexpr const char* kOptional[] = {"--sender", "--report-url", "--worker",
                                                "--kannel-conf"};
    static bool Optional(const std::string& option) {
        for (const char* o : kOptional)
            if (option == o) return true;
        return false;
    }

    // `word` whole in a help text: "--report" is not "--report-url".
    static bool Names(const QString& help, const std::string& word) {
        const QRegularExpression whole(QStringLiteral("(^|[^\\w-])") +
                                       QRegularExpression::escape(QString::fromStdString(word)) +
                                       QStringLiteral("($|[^\\w-])"));
        return whole.match(help).hasMatch();
    }

    QString Output(const char* tool, const QStringList& args) const {
        const QString program = QString::fromStdString(folder_ + "/" + tool);
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0)
            throw std::runtime_error((program + ' ' + args.join(' ') + ": " + p.errorString() +
                                      ' ' + QString::fromUtf8(p.readAllStandardError()))
                                         .trimmed()
                                         .toStdString());
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    bool own_;
    std::string folder_;
    QString help_, adminHelp_;
};

} // namespace telvoro::bench
