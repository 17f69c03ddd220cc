// quarnelix-dfu: the program entry. It takes no command-line arguments: it creates the window and
// runs the event loop until the window is closed.
#include <QApplication>

#include "tform1.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    qdfu::TForm1 form;
    form.show();
    return app.exec();
}
