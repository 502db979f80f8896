// The scheme's random source, through its test seam.
#include "randombytes.h"

#include "random_source_cases.h"

INSTANTIATE_TEST_SUITE_P(Scheme, RandomSourceTest,
                         ::testing::Values(RandomSource{"randombytes", tavik::randombytes,
                                                        &tavik::randombytes_platform,
                                                        tavik::randombytes_seam_fd,
                                                        tavik::randombytes_seam_reset}),
                         [](const auto &info) { return std::string(info.param.name); });
