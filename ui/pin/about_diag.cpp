#include "about_diag.h"

#include <QApplication>

#include "artwork.h"
#include "ui_about_diag.h"

AboutDiag::AboutDiag(QWidget* /*parent*/)
    : QDialog(nullptr), ui_(std::make_unique<Ui::AboutDiag>()) {
    ui_->setupUi(this);
    // The crest from its @2x file on high-DPI screens.
    ui_->label->setPixmap(artwork(":/pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png",
                                  qApp->devicePixelRatio()));
}

AboutDiag::~AboutDiag() = default;
