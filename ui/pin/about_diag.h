#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class AboutDiag;
}

// The "About" box: product crest, product name and the maker's notice.
class AboutDiag : public QDialog {
    Q_OBJECT

public:
    // The parent is ignored: the box is always a top-level window of its own.
    explicit AboutDiag(QWidget* parent);
    ~AboutDiag() override;

private:
    std::unique_ptr<Ui::AboutDiag> ui_;
};
