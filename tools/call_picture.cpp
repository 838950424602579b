#include "call_picture.h"

#include <algorithm>
#include <cairo.h>
#include <cmath>
#include <cstdio>

#include "audio_io.h"

namespace callctl {

namespace {

struct Colour {
    double r, g, b;
};
constexpr Colour remoteColour{0.13, 0.38, 0.70};
constexpr Colour localColour{0.15, 0.55, 0.25};
constexpr Colour touchtoneColour{0.90, 0.45, 0.05};
constexpr Colour dtmfColour{0.55, 0.15, 0.65};
constexpr Colour tapingOnColour{0.10, 0.60, 0.10};
constexpr Colour tapingOffColour{0.80, 0.10, 0.10};
constexpr Colour moveColour{0.25, 0.25, 0.25};

void setColour(cairo_t* cr, Colour c, double alpha = 1.0)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void text(cairo_t* cr, double x, double y, const std::string& s, double size = 12)
{
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s.c_str());
}

std::string secondsText(double seconds)
{
    char t[32];
    snprintf(t, sizeof t, "%d:%02d", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
    return t;
}

void drawLane(cairo_t* cr, const std::vector<uint8_t>& tape, const PictureLayout& L, double top, double bottom,
              Colour colour, const char* name)
{
    cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
    cairo_rectangle(cr, L.left, top, L.right - L.left, bottom - top);
    cairo_fill(cr);
    double middle = (top + bottom) / 2, half = (bottom - top) / 2 - 2;
    cairo_set_source_rgb(cr, 0.8, 0.8, 0.8);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, L.left, middle + 0.5);
    cairo_line_to(cr, L.right, middle + 0.5);
    cairo_stroke(cr);

    // One vertical stroke per pixel column from the lowest to the highest
    // sample in it: the envelope reads well at any length.
    setColour(cr, colour);
    int columns = static_cast<int>(L.right - L.left);
    for (int c = 0; c < columns && L.length > 0; ++c) {
        size_t from = static_cast<size_t>(static_cast<double>(c) * L.length / columns);
        size_t to = static_cast<size_t>(static_cast<double>(c + 1) * L.length / columns);
        to = std::min(std::max(to, from + 1), tape.size());
        if (from >= to)
            continue;
        int low = 32767, high = -32768;
        for (size_t i = from; i < to; ++i) {
            int v = ulawToLinear(tape[i]);
            low = std::min(low, v);
            high = std::max(high, v);
        }
        double y1 = middle - half * high / 32768.0, y2 = middle - half * low / 32768.0;
        cairo_rectangle(cr, L.left + c, y1, 1, std::max(1.0, y2 - y1));
    }
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    text(cr, 10, top + 16, name, 13);
}

} // namespace

double PictureLayout::x(uint32_t position) const
{
    if (length == 0)
        return left;
    return left + (right - left) * std::min<double>(position, length) / length;
}

PictureLayout layoutFor(const CallPicture& p)
{
    PictureLayout L;
    L.left = 110;
    L.right = p.width - 20;
    double laneHeight = (p.height - 150) / 2.0;
    L.remoteTop = 70;
    L.remoteBottom = L.remoteTop + laneHeight;
    L.localTop = L.remoteBottom + 20;
    L.localBottom = L.localTop + laneHeight;
    L.length = static_cast<uint32_t>(std::max(p.remote.size(), p.local.size()));
    for (const auto& m : p.marks)
        L.length = std::max({L.length, m.position, m.target});
    return L;
}

bool drawCallPicture(const CallPicture& p, const std::string& pngPath, std::string* error)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, p.width, p.height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    PictureLayout L = layoutFor(p);

    cairo_set_source_rgb(cr, 0, 0, 0);
    text(cr, 10, 24, p.title, 16);
    drawLane(cr, p.remote, L, L.remoteTop, L.remoteBottom, remoteColour, "remote");
    drawLane(cr, p.local, L, L.localTop, L.localBottom, localColour, "local");

    // Time axis in seconds of tape, with a tick step that keeps labels apart.
    double seconds = L.length / 8000.0;
    double step = 1;
    while (seconds / step > 20)
        step *= 2;
    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
    cairo_set_line_width(cr, 1);
    double axis = L.localBottom + 8;
    for (double s = 0; s <= seconds + 1e-9; s += step) {
        double x = L.x(static_cast<uint32_t>(s * 8000));
        cairo_move_to(cr, x + 0.5, axis);
        cairo_line_to(cr, x + 0.5, axis + 6);
        cairo_stroke(cr);
        text(cr, x - 10, axis + 20, secondsText(s), 11);
    }
    text(cr, 10, axis + 20, "tape time", 11);

    // Marks: taping and moves span both lanes, keys sit on their own side.
    for (const auto& m : p.marks) {
        double x = std::floor(L.x(m.position)) + 0.5;
        switch (m.kind) {
        case TapeMark::Kind::TapingOn:
        case TapeMark::Kind::TapingOff: {
            bool on = m.kind == TapeMark::Kind::TapingOn;
            setColour(cr, on ? tapingOnColour : tapingOffColour);
            cairo_set_line_width(cr, 2);
            double dash = 5;
            cairo_set_dash(cr, &dash, 1, 0);
            cairo_move_to(cr, x, L.remoteTop - 6);
            cairo_line_to(cr, x, L.localBottom);
            cairo_stroke(cr);
            cairo_set_dash(cr, nullptr, 0, 0);
            // "on" reads to the right of its line, "off" to the left, so a
            // stop and a start at one place stay legible.
            cairo_set_font_size(cr, 11);
            cairo_text_extents_t extents;
            cairo_text_extents(cr, "taping off", &extents);
            text(cr, on ? x + 3 : x - 3 - extents.x_advance, L.remoteTop - 8, on ? "taping on" : "taping off", 11);
            break;
        }
        case TapeMark::Kind::TapeMove: {
            double x2 = std::floor(L.x(m.target)) + 0.5, y = 48;
            setColour(cr, moveColour);
            cairo_set_line_width(cr, 1.5);
            cairo_move_to(cr, x, y);
            cairo_line_to(cr, x2, y);
            cairo_stroke(cr);
            double dir = x2 < x ? 1 : -1; // arrow head at the target
            cairo_move_to(cr, x2, y);
            cairo_line_to(cr, x2 + dir * 7, y - 4);
            cairo_line_to(cr, x2 + dir * 7, y + 4);
            cairo_close_path(cr);
            cairo_fill(cr);
            text(cr, std::min(x, x2) + 4, y - 5, m.label, 11);
            break;
        }
        case TapeMark::Kind::Touchtone:
        case TapeMark::Kind::DtmfSent: {
            bool heard = m.kind == TapeMark::Kind::Touchtone;
            double top = heard ? L.remoteTop : L.localTop;
            double bottom = heard ? L.remoteBottom : L.localBottom;
            setColour(cr, heard ? touchtoneColour : dtmfColour);
            cairo_set_line_width(cr, 2);
            cairo_move_to(cr, x, top);
            cairo_line_to(cr, x, bottom);
            cairo_stroke(cr);
            cairo_rectangle(cr, x - 8, bottom - 18, 16, 16);
            cairo_fill(cr);
            cairo_set_source_rgb(cr, 1, 1, 1);
            text(cr, x - 4, bottom - 5, m.label, 12);
            break;
        }
        }
    }

    // Legend.
    struct Entry {
        Colour c;
        const char* what;
    };
    const Entry legend[] = {{touchtoneColour, "touchtone heard"}, {dtmfColour, "DTMF sent"},
                            {tapingOnColour, "taping on"},        {tapingOffColour, "taping off"},
                            {moveColour, "tape moved"}};
    double lx = p.width - 5 * 130 - 10;
    for (const auto& e : legend) {
        setColour(cr, e.c);
        cairo_rectangle(cr, lx, 14, 12, 12);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text(cr, lx + 16, 25, e.what, 11);
        lx += 130;
    }

    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png(surface, pngPath.c_str());
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        *error = "can't write " + pngPath + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

} // namespace callctl
