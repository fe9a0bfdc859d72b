#include "app/launchoptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

const QString appDirOption = QStringLiteral("app-dir");
const QString appExecutableOption = QStringLiteral("app-executable");
const QString waitPidOption = QStringLiteral("wait-pid");
const QString launchArgOption = QStringLiteral("launch-arg");
const QString repairOption = QStringLiteral("repair");

} // namespace

void addLaunchOptions(QCommandLineParser &parser)
{
    parser.addHelpOption();
    // No default values here: a blank value must fall back exactly like an absent one.
    parser.addOption(QCommandLineOption(QStringList{appDirOption},
                                        QStringLiteral("Pasta do cliente principal."),
                                        QStringLiteral("path")));
    parser.addOption(QCommandLineOption(QStringList{appExecutableOption},
                                        QStringLiteral("Caminho do executavel principal."),
                                        QStringLiteral("path")));
    parser.addOption(QCommandLineOption(
        QStringList{waitPidOption},
        QStringLiteral("PID do processo que deve encerrar antes da aplicacao do update."),
        QStringLiteral("pid")));
    parser.addOption(QCommandLineOption(
        QStringList{launchArgOption}, QStringLiteral("Argumento encaminhado ao cliente principal."),
        QStringLiteral("arg")));
    parser.addOption(QCommandLineOption(
        QStringList{repairOption},
        QStringLiteral(
            "Verifica os arquivos do cliente e baixa de novo os ausentes ou danificados.")));
}

LaunchOptions readLaunchOptions(const QCommandLineParser &parser, const QString &defaultAppDir)
{
    LaunchOptions options;
    options.appDir = parser.value(appDirOption).trimmed();
    options.clientExecutable = parser.value(appExecutableOption).trimmed();
    // Forwarded to the client untouched: spaces may matter to it.
    options.launchArguments = parser.values(launchArgOption);

    bool ok = false;
    const qint64 pid = parser.value(waitPidOption).toLongLong(&ok, 10);
    options.waitPid = ok ? pid : 0;
    options.repair = parser.isSet(repairOption);

    if (options.appDir.isEmpty())
        options.appDir = defaultAppDir;
    if (options.clientExecutable.isEmpty())
        options.clientExecutable = QStringLiteral("QuorvexEmulator.exe");
    return options;
}
