// A ModBus RTU slave on a serial device (a pseudo-terminal in the tests), served by libmodbus: the
// independent peer of the ModBus framing's tests and benchmark.
//   modbus_peer_slave DEVICE SLAVE_ADDRESS
// Holding register i holds 0x1000 + i, input register i 0x2000 + i, coil and discrete input i are on when
// i is a multiple of 3 (100 of each).
#include <modbus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DEVICE SLAVE_ADDRESS\n", argv[0]);
    return 2;
  }
  modbus_t* ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
  if (ctx == nullptr || modbus_set_slave(ctx, std::atoi(argv[2])) != 0 || modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "cannot serve %s: %s\n", argv[1], modbus_strerror(errno));
    return 1;
  }
  modbus_mapping_t* map = modbus_mapping_new(100, 100, 100, 100);
  for (int i = 0; i < 100; ++i) {
    map->tab_registers[i] = static_cast<uint16_t>(0x1000 + i);
    map->tab_input_registers[i] = static_cast<uint16_t>(0x2000 + i);
    map->tab_bits[i] = map->tab_input_bits[i] = i % 3 == 0;
  }
  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  for (int failures = 0; failures < 100'000;) {
    int rc = modbus_receive(ctx, query);
    if (rc > 0) {
      modbus_reply(ctx, query, rc, map);
      failures = 0;
    } else if (rc < 0) {
      // The line went away: the test is over.
      if (errno == EIO || errno == EBADF || errno == ECONNRESET) break;
      ++failures;
    }
  }
  modbus_mapping_free(map);
  modbus_close(ctx);
  modbus_free(ctx);
  return 0;
}
