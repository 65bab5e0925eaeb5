#include "ui/main/ReleaseChooser.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

#include "ui/common/DialogTemplate.h"

namespace vindral::ui {

namespace {

using K = ControlKind;

constexpr ControlTemplate kChooserControls[] = {
    {kIdReleaseList, K::ListView, "", 7, 7, 356, 110},
    {kIdReleaseOk, K::DefaultPushButton, "OK", 259, 123, 50, 14},
    {kIdReleaseCancel, K::PushButton, "Cancel", 313, 123, 50, 14},
};

constexpr DialogTemplate kChooserTemplate{"Releases", 370, 144, kChooserControls};

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

ReleaseChooser::ReleaseChooser(const std::vector<metadata::Release>& releases, int current,
                               QWidget* parent)
    : QDialog(parent) {
    BuildDialog(*this, kChooserTemplate);
    list_ = Control<QTreeWidget>(*this, kIdReleaseList);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels({QStringLiteral("Title"), QStringLiteral("Artist"),
                            QStringLiteral("Country"), QStringLiteral("Date"),
                            QStringLiteral("Label"), QStringLiteral("Barcode"),
                            QStringLiteral("Format")});
    for (const metadata::Release& release : releases) {
        QString title = Text(release.album);
        if (release.discTotal > 1) {
            title +=
                QStringLiteral(" (disc %1 of %2)").arg(release.discNumber).arg(release.discTotal);
        }
        auto* item = new QTreeWidgetItem(
            QStringList{title, Text(release.albumArtist), Text(release.country), Text(release.date),
                        Text(release.label), Text(release.barcode), Text(release.format)});
        item->setToolTip(0, Text(release.mbid));
        list_->addTopLevelItem(item);
    }
    for (int column = 0; column < list_->columnCount(); ++column) {
        list_->resizeColumnToContents(column);
    }
    if (current >= 0 && current < list_->topLevelItemCount()) {
        list_->setCurrentItem(list_->topLevelItem(current));
    }
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(Control<QPushButton>(*this, kIdReleaseOk), &QPushButton::clicked, this,
            &QDialog::accept);
    connect(Control<QPushButton>(*this, kIdReleaseCancel), &QPushButton::clicked, this,
            &QDialog::reject);
}

int ReleaseChooser::Chosen() const {
    QTreeWidgetItem* item = list_->currentItem();
    return item != nullptr && item->isSelected() ? list_->indexOfTopLevelItem(item) : -1;
}

} // namespace vindral::ui
