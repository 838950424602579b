#include "dtmf.h"

#include <cstring>

#include "audio_io.h"

namespace {

constexpr char keypad[] = "123A456B789C*0#D";
constexpr double amplitude = 8191.0; // per tone, so the pair stays within -16382 ... 16382

// sin(pi f / 8000) and sin(2 pi f / 8000) of the row frequencies 697, 770,
// 852, 941 Hz and the column frequencies 1209, 1336, 1477, 1633 Hz, written
// to the digits that identify each double exactly.
constexpr double rowHalfSine[4] = {0.27030639589690547, 0.2977914387445853, 0.32837212736968857,
                                   0.36117704514539134};
constexpr double columnHalfSine[4] = {0.45713673473389455, 0.5009066253607098, 0.5480377748781019,
                                      0.5982197115660762};
constexpr double rowSine[4] = {0.5204881301528917, 0.5685618507342639, 0.620326757976556, 0.6735932107796729};
constexpr double columnSine[4] = {0.8131515577633086, 0.86707070116449, 0.916816321351918, 0.9587453469674392};

} // namespace

int generateDtmfTone(uint8_t* tone, char key)
{
    if (key == '\0')
        return -1;
    const char* at = strchr(keypad, key);
    if (!at)
        return -1;
    int p = static_cast<int>(at - keypad);
    int row = p / 4, column = p % 4;
    double hr = rowHalfSine[row], sr = rowSine[row];
    double hc = columnHalfSine[column], sc = columnSine[column];
    // 2 sin^2(w/2) = 1 - cos w: each oscillator turns its point by w per sample.
    double kr = hr * (hr + hr);
    double kc = hc * (hc + hc);
    double xr = 1, yr = 0, xc = 1, yc = 0;
    for (int n = 0; n < dtmfToneSamples; ++n) {
        tone[n] = linearToUlaw(static_cast<int>((yr + yc) * amplitude));
        double nxr = xr - (kr * xr + sr * yr);
        double nyr = yr - (kr * yr - sr * xr);
        double nxc = xc - (kc * xc + sc * yc);
        double nyc = yc - (kc * yc - sc * xc);
        xr = nxr;
        yr = nyr;
        xc = nxc;
        yc = nyc;
    }
    return dtmfToneSamples;
}
