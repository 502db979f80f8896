// The avx512 path's tables, each width of its arithmetic, run the scheme: the self-test's known
// key pair, signature and verification come out byte for byte with every kernel of the table.
#include "avx512_suite.h"
#include "kernels.h"
#include "signature.h"

using namespace tavik;

TEST(TableAvx512, SchemeKnownAnswersAtEachWidth) {
  AVX512_SUITE_REQUIRE();
  for (uint32_t bits : {256u, 512u}) {
    EXPECT_TRUE(self_test(avx512_table(kernels_of(Backend::avx2), bits))) << bits << "-bit arithmetic";
  }
}
