"""A ModBus RTU slave served by pymodbus: the second independent peer of the ModBus framing's tests.

    pymodbus_slave.py tcp PORT SLAVE_ADDRESS      RTU frames over a TCP listener on 127.0.0.1:PORT
    pymodbus_slave.py serial DEVICE SLAVE_ADDRESS RTU frames on a serial device (a pseudo-terminal)

Holding register i holds 0x1000 + i, input register i 0x2000 + i, coil and discrete input i are on when i
is a multiple of 3 (100 of each).
"""
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartSerialServer, StartTcpServer
from pymodbus.transaction import ModbusRtuFramer


def main():
    mode, where, unit = sys.argv[1], sys.argv[2], int(sys.argv[3])
    logging.disable(logging.CRITICAL)
    bits = [i % 3 == 0 for i in range(100)]
    store = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, bits),
        di=ModbusSequentialDataBlock(0, bits),
        hr=ModbusSequentialDataBlock(0, [0x1000 + i for i in range(100)]),
        ir=ModbusSequentialDataBlock(0, [0x2000 + i for i in range(100)]),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves={unit: store}, single=False)
    if mode == "tcp":
        StartTcpServer(context=context, framer=ModbusRtuFramer, address=("127.0.0.1", int(where)))
    else:
        StartSerialServer(context=context, framer=ModbusRtuFramer, port=where, baudrate=115200, timeout=0.01)


if __name__ == "__main__":
    main()
