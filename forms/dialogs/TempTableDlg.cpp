#include "TempTableDlg.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "Conversions.h"

const std::array<int, 256> TemperatureTable{
    -90, -79, -62, -51, -42, -36, -30, -26, -21, -18, -14, -11, -8,  -5,  -3,  0,    //
    2,   4,   7,   9,   11,  12,  14,  16,  18,  19,  21,  22,  24,  25,  27,  28,   //
    30,  31,  32,  33,  35,  36,  37,  38,  40,  41,  42,  43,  44,  45,  46,  47,   //
    48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  62,  63,   //
    64,  65,  65,  66,  67,  68,  69,  70,  71,  71,  72,  73,  74,  75,  76,  76,   //
    77,  78,  79,  80,  81,  81,  82,  83,  84,  85,  85,  86,  87,  88,  88,  89,   //
    90,  91,  92,  92,  93,  94,  95,  95,  96,  97,  98,  99,  99,  100, 101, 102,  //
    102, 103, 104, 105, 106, 106, 107, 108, 109, 110, 110, 111, 112, 113, 113, 114,  //
    115, 116, 117, 118, 118, 119, 120, 121, 122, 122, 123, 124, 125, 126, 127, 127,  //
    128, 129, 130, 131, 132, 133, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142,  //
    142, 143, 144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 154, 155, 156, 157,  //
    159, 160, 161, 162, 163, 164, 165, 166, 168, 169, 170, 171, 172, 174, 175, 176,  //
    177, 179, 180, 181, 183, 184, 186, 187, 189, 190, 192, 193, 195, 196, 198, 200,  //
    202, 203, 205, 207, 209, 211, 213, 215, 217, 219, 221, 223, 226, 228, 231, 233,  //
    236, 239, 242, 245, 248, 251, 254, 258, 262, 265, 270, 274, 278, 283, 289, 294,  //
    300, 307, 314, 321, 330, 340, 350, 363, 377, 394, 416, 443, 481, 540, 659, 700};

namespace {

// A cell that shows its text and sorts by its number.
class TNumericItem : public QTableWidgetItem {
public:
    TNumericItem(const QString& Text, double Key) : QTableWidgetItem(Text) {
        setData(Qt::UserRole, Key);
        setTextAlignment(Qt::AlignCenter);
        setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    }
    bool operator<(const QTableWidgetItem& Other) const override {
        return data(Qt::UserRole).toDouble() < Other.data(Qt::UserRole).toDouble();
    }
};

}  // namespace

double FarenheitToCentigrade(double DegF) {
    return CelsiusOf(DegF);
}

TformTempTable::TformTempTable(QWidget* Parent) : QDialog(Parent) {
    setObjectName("formTempTable");
    setWindowTitle("Temperature Table");
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    setFont(font);
    setModal(false);

    gridTempTable = new QTableWidget(0, 4, this);
    gridTempTable->setObjectName("gridTempTable");
    const char* headers[] = {"ADC Value\n(10 bits)", "ADC Value\n(8 bits)", "Temp [F]", "Temp [C]"};
    for (int col = 0; col < 4; ++col) {
        gridTempTable->setHorizontalHeaderItem(col, new QTableWidgetItem(headers[col]));
        gridTempTable->setColumnWidth(col, 60);
    }
    gridTempTable->horizontalHeader()->setFixedHeight(30);
    gridTempTable->horizontalHeader()->setSectionsMovable(false);
    gridTempTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    gridTempTable->verticalHeader()->hide();
    gridTempTable->verticalHeader()->setDefaultSectionSize(18);
    gridTempTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gridTempTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridTempTable->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(gridTempTable->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int Column) { SortByColumn(Column); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(gridTempTable);
    resize(261, 410);
    FormCreate();
}

void TformTempTable::FormCreate() {
    FTemperatureOffset = 0;
    FillTable();
}

void TformTempTable::FillTable() {
    gridTempTable->setRowCount(0);
    gridTempTable->setRowCount(static_cast<int>(TemperatureTable.size()));
    for (int i = 0; i < static_cast<int>(TemperatureTable.size()); ++i) {
        const int adc = 4 * i;
        const int degF = TemperatureTable[i] + FTemperatureOffset;
        const double degC = FarenheitToCentigrade(degF);
        char celsius[32];
        // The process locale gives the decimal separator.
        std::snprintf(celsius, sizeof celsius, "%.1f", degC);
        gridTempTable->setItem(i, colADC, new TNumericItem(QString::number(adc), adc));
        gridTempTable->setItem(i, colADC8,
                               new TNumericItem(QString::number(EightBitsOf(adc)), EightBitsOf(adc)));
        gridTempTable->setItem(i, colTempF, new TNumericItem(QString::number(degF), degF));
        gridTempTable->setItem(i, colTempC, new TNumericItem(QString::fromLocal8Bit(celsius), degC));
    }
}

void TformTempTable::SortByColumn(int Column) {
    FSortOrder =
        Column == FSortColumn && FSortOrder == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
    FSortColumn = Column;
    gridTempTable->sortItems(Column, FSortOrder);
    gridTempTable->horizontalHeader()->setSortIndicatorShown(true);
    gridTempTable->horizontalHeader()->setSortIndicator(Column, FSortOrder);
}
