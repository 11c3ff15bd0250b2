// Random number stream of zorv_gen: Lehmer steps, uniform and normal
// deviates, and what seeding does and does not reset.
#include "generator/random.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

class RandomTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        generator_state = 1;
        normal_state = 0;
        normal_value = 0.0;
    }
};

// Lehmer steps from the seed 1: 69621, then 69621^2 mod (2^31 - 1) and so on.
TEST_F(RandomTest, FirstStatesFromSeedOne)
{
    EXPECT_EQ(random_int(), 69621);
    EXPECT_EQ(random_int(), 552116347);
    EXPECT_EQ(random_int(), 1082396834);
    EXPECT_EQ(generator_state, 1082396834);
}

// The second state by hand: 69621^2 = 4847083641 = 2 * 2147483647 + 552116347.
TEST_F(RandomTest, SecondStateByHand)
{
    generator_state = 69621;
    EXPECT_EQ(random_int(), 4847083641LL - 2LL * 2147483647LL);
}

// The largest state times the multiplier exceeds 32 bits; the step must not
// overflow. (2^31 - 2) * 69621 mod (2^31 - 1) = (-1) * 69621 mod M = M - 69621.
TEST_F(RandomTest, LargestStateDoesNotOverflow)
{
    generator_state = 2147483646;
    EXPECT_EQ(random_int(), 2147483647 - 69621);
}

// The first uniform from the seed 1 is 69621 / 2147483647.
TEST_F(RandomTest, FirstUniform)
{
    double u = uniform();
    EXPECT_EQ(u, 69621.0 / 2147483647.0);
    EXPECT_NEAR(u, 3.241980449874876e-05, 1e-18);
    EXPECT_EQ(generator_state, 69621);
}

// Uniform and random_int take the same step.
TEST_F(RandomTest, UniformIsOneStep)
{
    uniform();
    uniform();
    EXPECT_EQ(random_int(), 1082396834);
}

// First Box-Muller pair from the seed 1: sine branch, then cosine branch.
TEST_F(RandomTest, FirstTwoNormals)
{
    double a = normal();
    EXPECT_EQ(normal_state, 1);
    EXPECT_EQ(generator_state, 552116347);
    double b = normal();
    EXPECT_EQ(normal_state, 0);
    EXPECT_EQ(generator_state, 552116347);

    EXPECT_NEAR(a, 4.542287545, 1e-9);
    EXPECT_NEAR(b, -0.202746152, 1e-9);
}

// The same pair from the two uniforms by the textbook formulae: u1 feeds the
// radius, u2 the angle, and the sine comes first.
TEST_F(RandomTest, NormalPairFromItsUniforms)
{
    double u1 = 69621.0 / 2147483647.0;
    double u2 = 552116347.0 / 2147483647.0;
    EXPECT_NEAR(u2, 0.2570992090073876, 1e-15);
    double r = std::sqrt(-2.0 * std::log(u1));
    double a = normal();
    double b = normal();
    EXPECT_NEAR(a, r * std::sin(6.283185307179586 * u2), 1e-12);
    EXPECT_NEAR(b, r * std::cos(6.283185307179586 * u2), 1e-12);
}

// A cached deviate survives reseeding: the first normal after the reseed is
// the old cosine branch, drawn without a step, and only the next call starts
// from the new seed.
TEST_F(RandomTest, CachedDeviateSurvivesReseed)
{
    normal();
    generator_state = 1;
    double cached = normal();
    EXPECT_NEAR(cached, -0.202746152, 1e-9);
    EXPECT_EQ(generator_state, 1);
    EXPECT_EQ(normal_state, 0);
    double fresh = normal();
    EXPECT_NEAR(fresh, 4.542287545, 1e-9);
    EXPECT_EQ(generator_state, 552116347);
}

// Seeding touches only the Lehmer state.
TEST_F(RandomTest, SeedingLeavesCacheAlone)
{
    normal_state = 1;
    normal_value = 0.75;
    generator_state = 12345;
    EXPECT_EQ(normal(), 0.75);
    EXPECT_EQ(generator_state, 12345);
}

// State 0 is a fixed point of the step.
TEST_F(RandomTest, ZeroIsFixedPoint)
{
    generator_state = 0;
    EXPECT_EQ(uniform(), 0.0);
    EXPECT_EQ(random_int(), 0);
    EXPECT_EQ(generator_state, 0);
}

// Uniforms lie strictly inside (0, 1); the first 100,000 have mean 1/2 and
// variance 1/12 within a few standard errors.
TEST_F(RandomTest, UniformMoments)
{
    const int N = 100000;
    double sum = 0.0, sum2 = 0.0;
    for (int i = 0; i < N; ++i) {
        double u = uniform();
        ASSERT_GT(u, 0.0);
        ASSERT_LT(u, 1.0);
        sum += u;
        sum2 += u * u;
    }
    double mean = sum / N;
    double var = sum2 / N - mean * mean;
    EXPECT_NEAR(mean, 0.5, 5.0 * std::sqrt(1.0 / 12.0 / N));
    EXPECT_NEAR(var, 1.0 / 12.0, 0.002);
}

// Normals have mean 0 and variance 1 within a few standard errors.
TEST_F(RandomTest, NormalMoments)
{
    const int N = 100000;
    double sum = 0.0, sum2 = 0.0;
    for (int i = 0; i < N; ++i) {
        double z = normal();
        sum += z;
        sum2 += z * z;
    }
    double mean = sum / N;
    double var = sum2 / N - mean * mean;
    EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(static_cast<double>(N)));
    EXPECT_NEAR(var, 1.0, 5.0 * std::sqrt(2.0 / N));
}

} // namespace
