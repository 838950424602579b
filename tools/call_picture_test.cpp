#include "call_picture.h"

#include <cairo.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "audio_io.h"
#include "scratch_dir.h"

namespace callctl {
namespace {

struct Pixels {
    cairo_surface_t* s;
    explicit Pixels(const std::string& path) : s(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Pixels() { cairo_surface_destroy(s); }
    bool ok() const { return cairo_surface_status(s) == CAIRO_STATUS_SUCCESS; }
    uint32_t at(int x, int y) const
    {
        const uint8_t* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
    // Whether column x shows a waveform between the rows: more coloured
    // pixels than the hairline that silence draws.
    bool colouredIn(int x, double top, double bottom) const
    {
        int coloured = 0;
        for (int y = static_cast<int>(top) + 1; y < static_cast<int>(bottom); ++y) {
            uint32_t p = at(x, y);
            int r = p >> 16, g = (p >> 8) & 0xFF, b = p & 0xFF;
            coloured += std::max({r, g, b}) - std::min({r, g, b}) > 60;
        }
        return coloured > 3;
    }
};

TEST(CallPicture, DrawsEachSideWhereItTalksAndMarksWhereThingsHappened)
{
    // Remote talks in the first half only, local in the second half only.
    CallPicture p;
    p.remote.assign(16000, 0xFF);
    p.local.assign(16000, 0xFF);
    for (size_t i = 0; i < 8000; ++i) {
        p.remote[i] = linearToUlaw(i % 40 < 20 ? 20000 : -20000);
        p.local[8000 + i] = linearToUlaw(i % 40 < 20 ? 20000 : -20000);
    }
    p.marks.push_back({TapeMark::Kind::Touchtone, 4000, 0, "5"});
    p.marks.push_back({TapeMark::Kind::TapeMove, 12000, 4000, "skip back 1 s"});
    p.title = "test";

    kit::ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string path = dir / "call.png";
    std::string error;
    ASSERT_TRUE(drawCallPicture(p, path, &error)) << error;
    Pixels px(path);
    ASSERT_TRUE(px.ok());
    EXPECT_EQ(cairo_image_surface_get_width(px.s), p.width);
    EXPECT_EQ(cairo_image_surface_get_height(px.s), p.height);

    PictureLayout L = layoutFor(p);
    int early = static_cast<int>(L.x(2000)), late = static_cast<int>(L.x(14000));
    EXPECT_TRUE(px.colouredIn(early, L.remoteTop, L.remoteBottom));
    EXPECT_FALSE(px.colouredIn(early, L.localTop, L.localBottom));
    EXPECT_FALSE(px.colouredIn(late, L.remoteTop, L.remoteBottom));
    EXPECT_TRUE(px.colouredIn(late, L.localTop, L.localBottom));
    // The touchtone line crosses the remote lane in the second quarter...
    uint32_t mark = px.at(static_cast<int>(L.x(4000)), static_cast<int>((L.remoteTop + L.remoteBottom) / 2));
    EXPECT_GT((mark >> 16) & 0xFF, 0xC0u); // orange: strong red
    EXPECT_LT(mark & 0xFF, 0x40u);         // little blue
    // ...and the move is drawn between its two ends above the lanes.
    int between = static_cast<int>(L.x(8000));
    bool arrow = false;
    for (int y = 40; y < 56; ++y)
        arrow |= px.at(between, y) != 0xFFFFFF;
    EXPECT_TRUE(arrow);
    EXPECT_FALSE(drawCallPicture(p, dir / "no/such/dir/x.png", &error));
}

} // namespace
} // namespace callctl
