// The row the window shows while several Velto units are plugged in: how many there are, and a
// list to choose the one to update (port, mode and serial of each).
#pragma once

#include <QWidget>

#include <optional>
#include <vector>

#include "app/unit_selection.h"

class QComboBox;
class QLabel;

class UnitChooser : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kRowHeight = 28;

    explicit UnitChooser(QWidget* parent = nullptr);

    // Lists the units; chosen is marked as the current one (none: the list asks for a
    // choice). A list that is not enabled shows the choice but takes none (a run is under way).
    void ShowUnits(const std::vector<UnitEntry>& units, const std::optional<UnitIdentity>& chosen,
                   bool enabled);
    QComboBox* List() const { return list_; }

  signals:
    void Chosen(const UnitIdentity& unit);

  private:
    QLabel* count_ = nullptr;
    QComboBox* list_ = nullptr;
    std::vector<UnitIdentity> shown_;
};
