// quarnelix-dfu: the program entry. It takes no command-line arguments: it creates the window and
// runs the event loop until the window is closed.
#include <QApplication>
#include <QStyleFactory>

#include "tform1.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // One look on every system: the status fields' background colours and the lists' pale
    // background come from the palette, which the native Windows styles partly ignore.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
    qdfu::TForm1 form;
    form.show();
    return app.exec();
}
