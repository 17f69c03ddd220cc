// quarnelix-dfu-line: the program entry of the production line's operator window. It takes the
// line profile to run (or asks for one), the texts in the system's language (English, or Italian
// where the system speaks it), and runs the window until it is closed.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QStyleFactory>
#include <QTranslator>

#include "line_window.h"

namespace {

// The command line program beside this one, whose upload each fixture runs (in a build folder,
// the one in ../cli); named as this program is, .exe and all.
std::string CommandLineProgram() {
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString name = QStringLiteral("quarnelix-dfu-cli") +
                         (self.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive) ? QStringLiteral(".exe") : QString());
    const QDir here(QCoreApplication::applicationDirPath());
    if (QFileInfo::exists(here.filePath(name))) return here.filePath(name).toStdString();
    return QDir::cleanPath(here.filePath(QStringLiteral("../cli/") + name)).toStdString();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quarnelix-dfu-line"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QDFU_VERSION));
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
    QTranslator texts;
    if (texts.load(QLocale(), QStringLiteral("quarnelix-dfu-line"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(&texts);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QCoreApplication::translate("main", "The production line's operator window: runs a line profile, a tile per fixture."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption profile(QStringLiteral("profile"),
                               QCoreApplication::translate("main", "the line profile to run ('quarnelix-dfu-cli profile new' writes one)"),
                               QStringLiteral("FILE"));
    QCommandLineOption cli(QStringLiteral("cli"), QStringLiteral("the command line program"), QStringLiteral("PATH"));
    QCommandLineOption portsDir(QStringLiteral("ports-dir"), QStringLiteral("ports seam"), QStringLiteral("DIR"));
    QCommandLineOption devRoot(QStringLiteral("dev-root"), QStringLiteral("devices seam"), QStringLiteral("DIR"));
    QCommandLineOption sysfsRoot(QStringLiteral("sysfs-root"), QStringLiteral("sysfs seam"), QStringLiteral("DIR"));
    for (QCommandLineOption* hidden : {&cli, &portsDir, &devRoot, &sysfsRoot})
        hidden->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({profile, cli, portsDir, devRoot, sysfsRoot});
    parser.process(app);

    qdfu::LineWindowOptions options;
    options.ProfilePath = parser.value(profile);
    options.Cli = parser.isSet(cli) ? parser.value(cli).toStdString() : CommandLineProgram();
    if (parser.isSet(portsDir)) options.Paths.PortsDir = parser.value(portsDir).toStdString();
    if (parser.isSet(devRoot)) options.Paths.DevRoot = parser.value(devRoot).toStdString();
    if (parser.isSet(sysfsRoot)) options.Paths.SysfsRoot = parser.value(sysfsRoot).toStdString();
    qdfu::LineWindow window(options);
    window.show();
    return app.exec();
}
