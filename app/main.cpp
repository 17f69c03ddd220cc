// quarnelix-dfu: the program entry. It creates the window and runs the event loop until the window
// is closed; a HEX file named as its one argument (quarnelix-dfu FILE.hex) is opened at start.
#include <QApplication>
#include <QStyleFactory>

#include "tform1.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // One look on every system: the status fields' background colours and the lists' pale
    // background come from the palette, which the native Windows styles partly ignore.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
    qdfu::TForm1Options options;
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1) options.FileArgument = args.at(1);
    qdfu::TForm1 form(options);
    form.show();
    return app.exec();
}
