// Value access through the one dispatch path: return codes, messages,
// link translation, print formats, and values shared across processes.
#include <cstring>

#include "support/fixture.h"

namespace zrdb::test {
namespace {

class ValueAccessTest : public DatabaseTest {
 protected:
  std::string items() const override {
    return "id=0, name=dbg_level, type=integer, value=0\n"
           "id=1, name=speed, type=integer, size=4*8, value=100\n"
           "id=2, name=label, type=string, size=16*2, value=idle\n"
           "id=3, name=blob, type=user, size=10, value=0x41\n"
           "id=12, name=counter, type=integer, value=5\n";
  }
};

TEST_F(ValueAccessTest, IntegerReadWriteAcrossProcesses) {
  reattach(HBUSER_CLIENT);
  uint32_t v = 0;
  ASSERT_EQ(zrdb_getiValue(1, 7, &v, 4), 0);
  EXPECT_EQ(v, 100u);
  const int child = run_in_child([] {
    const uint32_t w = 4242;
    return zrdb_setiValue(1, 3, &w, 4) == 0 ? 0 : 1;
  });
  EXPECT_EQ(child, 0);
  ASSERT_EQ(zrdb_getiValue(1, 3, &v, 4), 0);
  EXPECT_EQ(v, 4242u);
}

}  // namespace
}  // namespace zrdb::test
