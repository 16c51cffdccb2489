#include "app/unit_chooser.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>

UnitChooser::UnitChooser(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("UnitChooser"));
    count_ = new QLabel(this);
    count_->setObjectName(QStringLiteral("lbUnits"));
    count_->setGeometry(0, 2, 78, 22);
    count_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    list_ = new QComboBox(this);
    list_->setObjectName(QStringLiteral("cbUnit"));
    list_->setGeometry(82, 2, 241, 22);
    count_->setBuddy(list_);
    count_->setAccessibleName(QStringLiteral("Velto units plugged in"));
    count_->setAccessibleDescription(QStringLiteral("How many Velto units are plugged in"));
    list_->setAccessibleName(QStringLiteral("Unit to update"));
    list_->setAccessibleDescription(
        QStringLiteral("Several Velto units are plugged in: \"Start Program \" updates the one "
                       "chosen here, and no other"));
    connect(list_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && static_cast<std::size_t>(index) < shown_.size())
            emit Chosen(shown_[static_cast<std::size_t>(index)]);
    });
}

void UnitChooser::ShowUnits(const std::vector<UnitEntry>& units,
                            const std::optional<UnitIdentity>& chosen, bool enabled) {
    const QString count = QStringLiteral("%1 units:").arg(units.size());
    if (count_->text() != count) {
        count_->setText(count);
        count_->setAccessibleName(
            QStringLiteral("%1 Velto units are plugged in").arg(units.size()));
    }
    std::vector<UnitIdentity> identities;
    QStringList texts;
    int current = -1;
    for (const UnitEntry& unit : units) {
        if (chosen && unit.identity.SameUnit(*chosen)) current = static_cast<int>(texts.size());
        identities.push_back(unit.identity);
        texts << UnitSelection::Describe(unit);
    }
    QStringList before;
    for (int i = 0; i < list_->count(); ++i)
        before << list_->itemText(i);
    if (before != texts || identities != shown_) {
        list_->clear();
        list_->addItems(texts);
        shown_ = std::move(identities);
    }
    list_->setPlaceholderText(QStringLiteral("Choose the unit to update"));
    if (list_->currentIndex() != current) list_->setCurrentIndex(current);
    list_->setEnabled(enabled);
}
