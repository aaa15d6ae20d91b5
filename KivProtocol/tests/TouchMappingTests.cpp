#include <cmath>
#include <gtest/gtest.h>

#include "KivProtocol/InputEvent.hpp"

using namespace kiv;
using Gravity = TouchCoordinateMapper::Gravity;

TEST(TouchCoordinateMapper, ContentRectForFitAndFill) {
    const TouchCoordinateMapper fit{{1000, 500}, {1920, 1080}, Gravity::aspectFit};
    const Rect r = fit.contentRect();
    EXPECT_NEAR(r.width, 888.888, 0.01);
    EXPECT_DOUBLE_EQ(r.height, 500);
    EXPECT_NEAR(r.x, 55.555, 0.01);
    EXPECT_DOUBLE_EQ(r.y, 0);
    const auto origin = fit.normalize({55.6, 0}, false);
    ASSERT_TRUE(origin);
    EXPECT_NEAR(origin->x, 0, 0.001);
    EXPECT_NEAR(origin->y, 0, 0.001);

    const TouchCoordinateMapper fill{{1000, 500}, {1920, 1080}, Gravity::aspectFill};
    const Rect f = fill.contentRect();
    EXPECT_DOUBLE_EQ(f.width, 1000);
    EXPECT_DOUBLE_EQ(f.height, 562.5);
    EXPECT_DOUBLE_EQ(f.y, -31.25);
}

TEST(TouchCoordinateMapper, NormalizeOutsideThePictureAndDegenerateViews) {
    const TouchCoordinateMapper fit{{1000, 500}, {1920, 1080}, Gravity::aspectFit};
    EXPECT_FALSE(fit.normalize({10, 250}, false).has_value()) << "left letterbox bar";
    EXPECT_EQ(fit.normalize({10, 250}, true)->x, 0);
    EXPECT_EQ(fit.normalize({999, 250}, true)->x, 1);
    EXPECT_FALSE(fit.normalize({NAN, 250}, false).has_value());

    const TouchCoordinateMapper empty{{0, 0}, {1920, 1080}, Gravity::aspectFit};
    EXPECT_EQ(empty.contentRect(), (Rect{0, 0, 0, 0}));
    EXPECT_FALSE(empty.normalize({0, 0}, true).has_value());
    EXPECT_EQ(empty.normalizedDelta(5, 5), (Point{0, 0}));

    const TouchCoordinateMapper noContent{{800, 600}, {0, 1080}, Gravity::aspectFit};
    EXPECT_EQ(noContent.contentRect(), (Rect{0, 0, 800, 600}));
    EXPECT_EQ(noContent.normalizedDelta(80, 60), (Point{0.1, 0.1}));
}

TEST(TouchCoordinateMapper, DenormalizeStaysInsideTheBounds) {
    const Rect bounds{0, 0, 1920, 1080};
    EXPECT_EQ(TouchCoordinateMapper::denormalize({1, 1}, bounds), (Point{1919, 1079}));
    EXPECT_EQ(TouchCoordinateMapper::denormalize({-0.5, 2}, bounds), (Point{0, 1079}));
    EXPECT_EQ(TouchCoordinateMapper::denormalize({0.5, 0.5}, Rect{1920, 0, 2732, 2048}), (Point{3286, 1024}));
    EXPECT_EQ(TouchCoordinateMapper::denormalize({NAN, INFINITY}, bounds), (Point{0, 1079})) << "never a wild position";
}
