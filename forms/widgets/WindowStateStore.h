#pragma once
// Keeps a window's placement and a few named properties in an INI file: read once when the
// window is made, written once when it closes.
#include <QRect>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

// Where a window was and how it was shown.
struct TWindowPlacement {
    QRect Geometry;  // the client area, in screen coordinates
    Qt::WindowState State = Qt::WindowNoState;
};

class TWindowStateStore {
public:
    using TGetter = std::function<std::string()>;
    using TSetter = std::function<void(const std::string&)>;

    // Section is the window's storage path ("formMain").
    explicit TWindowStateStore(std::string Section = "formMain");

    void SetFileName(const std::string& Value) { FFileName = Value; }
    const std::string& FileName() const { return FFileName; }
    // A text property kept under Name ("lblPort.Caption").
    void AddProperty(const std::string& Name, TGetter Get, TSetter Set);
    // A true/false property, written as text.
    void AddBoolProperty(const std::string& Name, std::function<bool()> Get, std::function<void(bool)> Set);

    // Applies every stored property and returns the stored placement, if the file holds one.
    // A missing or unreadable file changes nothing.
    std::optional<TWindowPlacement> Restore() const;
    // Puts Placement on Window; a rectangle on no screen is centred on the primary one instead.
    static void ApplyPlacement(QWidget* Window, const TWindowPlacement& Placement);
    // The placement of Window now (its normal geometry when minimized or maximized).
    static TWindowPlacement PlacementOf(const QWidget* Window);
    // Writes Placement and every property. Throws EFileError when the file cannot be written.
    void Save(const TWindowPlacement& Placement) const;

    // "TRUE", "YES", "Y" and "FALSE", "NO", "N" in any case; nothing for any other text.
    static std::optional<bool> ParseBool(const std::string& Text);
    static std::string BoolText(bool Value) { return Value ? "True" : "False"; }

private:
    struct TProperty {
        std::string Name;
        TGetter Get;
        TSetter Set;
    };
    std::string FSection;
    std::string FFileName;
    std::vector<TProperty> FProperties;
};
