#pragma once
// The analog inputs panel: the five inputs with their gauges, the temperature, the thermistor's
// offset and the temperature table; the data logging box sits beside them.
#include <string>

#include "CollapsiblePanel.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class TBoardSession;
class TformTempTable;
class TUiServices;
struct TTickReadings;

// Columns of the two analog grids.
enum TAnalogColumn : int { acInput = 0, acValue = 1, acGauge = 2 };

// "Temperature = %dF (%.1fC)" for a reading in whole degrees Fahrenheit.
std::string TemperatureText(int DegF);

class TAnalogPanel : public TCollapsiblePanel {
    Q_OBJECT
public:
    TAnalogPanel(TBoardSession& Session, TUiServices& Ui, QWidget* Parent = nullptr);

    // Places the data logging box at the panel's right.
    void AddLoggingBox(QWidget* Box);
    void SetTempTable(TformTempTable* TempTable) { FTempTable = TempTable; }

    // A tick's readings; a failed one keeps the last good value, marked as out of date.
    void ShowReadings(const TTickReadings& Readings);
    // The thermistor's offset as the session holds it, without sending it back.
    void ShowOffset(int Offset);
    bool TenBits() const;

    void spinThermOffsetChange();
    void spinThermOffsetExit();
    void btnTempTableClick();

signals:
    void TenBitsChanged(bool TenBits);

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    QTableWidget* CreateGrid(const char* Name, int Rows);
    // The grid and its row that show Input.
    QTableWidget* GridOf(int Input) const;

    TBoardSession& FSession;
    TUiServices& FUi;
    TformTempTable* FTempTable = nullptr;
    QCheckBox* chkShowTenBits;
    QTableWidget* gridAnalog1;
    QTableWidget* gridAnalog2;
    QLabel* lblTemp;
    QLabel* lblThermOffset;
    QSpinBox* spinThermOffset;
    QPushButton* btnTempTable;
    QLayout* FRow;
};
