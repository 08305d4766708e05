#pragma once
// The temperature sensor's lookup table (analog input 4) in ADC counts and both units.
#include <QDialog>
#include <array>
#include <string>

class QTableWidget;

// Entry i holds the temperature in whole degrees Fahrenheit for the 10-bit reading 4 * i.
extern const std::array<int, 256> TemperatureTable;

// Degrees Celsius of DegF (CelsiusOf, under the name the table's users know).
double FarenheitToCentigrade(double DegF);

class TformTempTable : public QDialog {
    Q_OBJECT
public:
    // Column positions, left to right.
    enum TColumn : int { colADC = 0, colADC8 = 1, colTempF = 2, colTempC = 3 };

    // Builds the window and fills the table once.
    explicit TformTempTable(QWidget* Parent = nullptr);

    QTableWidget* gridTempTable = nullptr;

    void FormCreate();
    // Sorts the rows numerically by Column; a second click on the same column reverses the order.
    void SortByColumn(int Column);

private:
    void FillTable();

    int FTemperatureOffset = 0;
    int FSortColumn = -1;
    Qt::SortOrder FSortOrder = Qt::AscendingOrder;
};
