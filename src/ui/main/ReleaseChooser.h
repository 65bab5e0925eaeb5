// The releases that match a disc, to choose the one whose names the window
// uses: title, artist, country, date, label, barcode and format per line.
#pragma once

#include <QDialog>

#include <vector>

#include "metadata/DiscMetadata.h"

class QTreeWidget;

namespace vindral::ui {

enum ReleaseChooserControl : int {
    kIdReleaseOk = 1,
    kIdReleaseCancel = 2,
    kIdReleaseList = 1101,
};

class ReleaseChooser : public QDialog {
    Q_OBJECT
public:
    // `current` is the line selected at first.
    ReleaseChooser(const std::vector<metadata::Release>& releases, int current,
                   QWidget* parent = nullptr);

    // The selected line, or -1.
    int Chosen() const;

private:
    QTreeWidget* list_ = nullptr;
};

} // namespace vindral::ui
