#include "WindowStateStore.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cctype>

#include "IniFile.h"

namespace {

std::string Upper(std::string Text) {
    std::transform(Text.begin(), Text.end(), Text.begin(), [](unsigned char c) { return std::toupper(c); });
    return Text;
}

const char* StateText(Qt::WindowState State) {
    switch (State) {
        case Qt::WindowMinimized:
            return "Minimized";
        case Qt::WindowMaximized:
            return "Maximized";
        default:
            return "Normal";
    }
}

Qt::WindowState ParseState(const std::string& Text) {
    const std::string t = Upper(Text);
    if (t == "MINIMIZED") return Qt::WindowMinimized;
    if (t == "MAXIMIZED") return Qt::WindowMaximized;
    return Qt::WindowNoState;
}

}  // namespace

TWindowStateStore::TWindowStateStore(std::string Section) : FSection(std::move(Section)) {}

void TWindowStateStore::AddProperty(const std::string& Name, TGetter Get, TSetter Set) {
    FProperties.push_back({Name, std::move(Get), std::move(Set)});
}

void TWindowStateStore::AddBoolProperty(const std::string& Name, std::function<bool()> Get,
                                        std::function<void(bool)> Set) {
    AddProperty(
        Name, [Get = std::move(Get)] { return BoolText(Get()); },
        [Set = std::move(Set)](const std::string& Text) {
            if (auto value = ParseBool(Text)) Set(*value);
        });
}

std::optional<bool> TWindowStateStore::ParseBool(const std::string& Text) {
    std::string t = Upper(Text);
    const auto notBlank = [](unsigned char c) { return !std::isspace(c); };
    t.erase(t.begin(), std::find_if(t.begin(), t.end(), notBlank));
    t.erase(std::find_if(t.rbegin(), t.rend(), notBlank).base(), t.end());
    if (t == "TRUE" || t == "YES" || t == "Y") return true;
    if (t == "FALSE" || t == "NO" || t == "N") return false;
    return std::nullopt;
}

std::optional<TWindowPlacement> TWindowStateStore::Restore() const {
    if (FFileName.empty()) return std::nullopt;
    const TIniFile ini(FFileName);
    if (!ini.FileReadable()) return std::nullopt;
    // A key that is missing keeps the control's design value.
    static const std::string missing("\x01");
    for (const auto& p : FProperties) {
        const std::string value = ini.ReadString(FSection, p.Name, missing);
        if (value != missing) p.Set(value);
    }
    const int width = ini.ReadInteger(FSection, "Width", 0);
    const int height = ini.ReadInteger(FSection, "Height", 0);
    if (width <= 0 || height <= 0) return std::nullopt;
    TWindowPlacement placement;
    placement.Geometry =
        QRect(ini.ReadInteger(FSection, "Left", 0), ini.ReadInteger(FSection, "Top", 0), width, height);
    placement.State = ParseState(ini.ReadString(FSection, "WindowState", "Normal"));
    return placement;
}

void TWindowStateStore::ApplyPlacement(QWidget* Window, const TWindowPlacement& Placement) {
    QRect r = Placement.Geometry;
    bool onScreen = false;
    for (QScreen* s : QGuiApplication::screens())
        if (s->availableGeometry().intersects(r)) onScreen = true;
    if (!onScreen) {
        // The monitor it was on has gone: keep the size, come back where the user can see it.
        if (QScreen* s = QGuiApplication::primaryScreen()) r.moveCenter(s->availableGeometry().center());
    }
    Window->setGeometry(r);
    // A window closed while minimized opens normally: starting as an icon only hides it.
    if (Placement.State == Qt::WindowMaximized) Window->setWindowState(Qt::WindowMaximized);
}

TWindowPlacement TWindowStateStore::PlacementOf(const QWidget* Window) {
    TWindowPlacement placement;
    const Qt::WindowStates states = Window->windowState();
    if (states & Qt::WindowMinimized)
        placement.State = Qt::WindowMinimized;
    else if (states & Qt::WindowMaximized)
        placement.State = Qt::WindowMaximized;
    placement.Geometry = placement.State == Qt::WindowNoState || Window->normalGeometry().isEmpty()
                             ? Window->geometry()
                             : Window->normalGeometry();
    return placement;
}

void TWindowStateStore::Save(const TWindowPlacement& Placement) const {
    if (FFileName.empty()) return;
    TIniFile ini(FFileName);
    ini.WriteString(FSection, "WindowState", StateText(Placement.State));
    ini.WriteInteger(FSection, "Left", Placement.Geometry.left());
    ini.WriteInteger(FSection, "Top", Placement.Geometry.top());
    ini.WriteInteger(FSection, "Width", Placement.Geometry.width());
    ini.WriteInteger(FSection, "Height", Placement.Geometry.height());
    for (const auto& p : FProperties) ini.WriteString(FSection, p.Name, p.Get());
}
