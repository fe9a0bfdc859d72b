#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

// What the client tells the updater about itself on the command line.
struct LaunchOptions
{
    QString appDir;
    QString clientExecutable;
    QStringList launchArguments;
    qint64 waitPid = 0;
    bool repair = false; // check every installed file against the release, fetch what is not
};

// Registers the help option and the launch options, in display order.
void addLaunchOptions(QCommandLineParser &parser);

// Reads the parsed values and applies the defaults: a blank folder becomes
// defaultAppDir, a blank executable becomes "QuorvexEmulator.exe".
LaunchOptions readLaunchOptions(const QCommandLineParser &parser, const QString &defaultAppDir);
