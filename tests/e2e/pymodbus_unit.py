"""A Modbus TCP slave run by pymodbus, for cross-checks of the host with a
Modbus implementation from outside the project. Coils and holding registers
at every address, zero-based, from a state file in qmsim's format; writes
are stored and answered with what was stored, so a register with a limit
(--limit ADDR:MAX) echoes the limit, not the value asked for.

usage: pymodbus_unit.py --port-file FILE [--state FILE] [--limit ADDR:MAX]..."""

import argparse
import asyncio
import json
import logging
import os
import signal

from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.server.async_io import ModbusTcpServer

ADDRESSES = 65536


class LimitedBlock(ModbusSequentialDataBlock):
    """Holding registers that store at most a register's limit."""

    def __init__(self, values, limits):
        super().__init__(0, values)
        self.limits = limits

    def setValues(self, address, values):  # pylint: disable=invalid-name
        if not isinstance(values, list):
            values = [values]
        stored = [min(v, self.limits.get(address + i, v)) for i, v in enumerate(values)]
        super().setValues(address, stored)


def parse_limit(text):
    address, _, limit = text.partition(":")
    return int(address), int(limit)


def load_state(path):
    coils, regs = [0] * ADDRESSES, [0] * ADDRESSES
    if path:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
        for address, value in state.get("coils", {}).items():
            coils[int(address)] = int(value)
        for address, value in state.get("regs", {}).items():
            regs[int(address)] = int(value)
    return coils, regs


async def serve(args):
    coils, regs = load_state(args.state)
    store = ModbusSlaveContext(co=ModbusSequentialDataBlock(0, coils),
                               hr=LimitedBlock(regs, dict(args.limit)), zero_mode=True)
    server = ModbusTcpServer(ModbusServerContext(slaves=store, single=True),
                             address=("127.0.0.1", 0), allow_reuse_address=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    port = server.server.sockets[0].getsockname()[1]
    temporary = args.port_file + ".tmp"
    with open(temporary, "w", encoding="ascii") as f:
        f.write(f"{port}\n")
    os.replace(temporary, args.port_file)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, stop.set)
    await stop.wait()
    await server.server_close()
    task.cancel()


def main():
    # Clients closing their connection are normal here, not errors.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--state")
    parser.add_argument("--limit", type=parse_limit, action="append", default=[])
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
