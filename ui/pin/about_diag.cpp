#include "about_diag.h"

#include "ui_about_diag.h"

AboutDiag::AboutDiag(QWidget* /*parent*/)
    : QDialog(nullptr), ui_(std::make_unique<Ui::AboutDiag>()) {
    ui_->setupUi(this);
}

AboutDiag::~AboutDiag() = default;
