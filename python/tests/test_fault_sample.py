"""A sample of the fault campaign (make campaign runs the whole of it natively):
the master in Data, or in a set-up state, against the software slave at 1, 2, 4
and 16 safe-data bytes, one injected fault at a time. Each fault is reported in
the cycle its reply arrives, the inputs are fail-safe from then on, and the
connection comes back to Data."""

import pytest

from kestrel import (DataType, Dictionary, DictionaryItemInput, DictionaryItemOutput, MasterHandler,
                     SlaveSimulator, StateConnection, StateData, StateParameter)

FAIL_SAFE = 0xA5


class Bus:
    def __init__(self, size):
        self.outputs = [DictionaryItemOutput(0x100 + i, f"o{i}", DataType.UINT8) for i in range(size)]
        self.inputs = [DictionaryItemInput(0x200 + i, f"i{i}", DataType.UINT8, fail_safe_value=FAIL_SAFE)
                       for i in range(size)]
        self.reports = []
        self.handler = MasterHandler(Dictionary(self.outputs + self.inputs), slave_address=5, connection_id=7,
                                     watchdog_timeout_s=30.0,
                                     report_error_callback=lambda name, message: self.reports.append(name))
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.slave = SlaveSimulator(5, input_size=size, output_size=size, manual_clock=True, seed=3)
        self.size = size
        self.turn = 0
        self.handler.start()

    def cycle(self):
        self.turn += 1
        self.handler.set_fail_safe(False)
        self.slave.process_data = True
        self.slave.inputs = bytes((self.turn + i) % 200 for i in range(self.size))
        self.handler.set_reply(self.slave.step(self.handler.get_request()))

    def values(self):
        return [item.get() for item in self.inputs]

    def drive_to(self, state, limit=200):
        for _ in range(limit):
            if self.handler.state is state and (state is not StateData or FAIL_SAFE not in self.values()):
                return True
            self.cycle()
        return False

    def close(self):
        self.handler.stop()
        self.handler.delete()


@pytest.fixture(params=[1, 2, 4, 16])
def bus(request):
    b = Bus(request.param)
    yield b
    b.close()


def frame_bits(size):
    return 8 * (6 if size == 1 else 2 * size + 3)


FAULTS = {
    "bit_flip": lambda slave, n: slave.inject_bit_flip(n),
    "wrong_connection_id": lambda slave, n: slave.inject_wrong_connection_id(),
    "wrong_command": lambda slave, n: slave.inject_wrong_command(),
    "unknown_command": lambda slave, n: slave.inject_unknown_command(0xFF),
    "replay": lambda slave, n: slave.inject_replay(2 + n % 3),
}


@pytest.mark.parametrize("fault", sorted(FAULTS))
def test_data_faults_are_detected_fail_safe_and_recovered(bus, fault):
    assert bus.drive_to(StateData)
    # Every 5th bit position of the frame for flips; a few of each other kind.
    shots = range(0, frame_bits(bus.size), 5) if fault == "bit_flip" else range(6)
    for n in shots:
        assert bus.drive_to(StateData), (fault, n)
        bus.reports.clear()
        FAULTS[fault](bus.slave, n)
        bus.cycle()
        assert bus.reports, f"{fault} {n} accepted"
        assert bus.reports[0].startswith("DATA_"), bus.reports
        assert bus.handler.state is not StateData
        assert bus.values() == [FAIL_SAFE] * bus.size
        assert bus.drive_to(StateData), f"{fault} {n}: no recovery"


@pytest.mark.parametrize("state,transition", [(StateConnection, "CONN_FAIL2"), (StateParameter, "PARA_FAIL2")])
def test_wrong_echo_in_setup_is_detected(bus, state, transition):
    for byte_index in range(min(bus.size, 2)):
        bus.handler.reset()
        assert bus.drive_to(state)
        bus.reports.clear()
        bus.slave.inject_wrong_echo(byte_index)
        bus.cycle()
        assert bus.reports[:1] == [transition]
        assert bus.values() == [FAIL_SAFE] * bus.size
        assert bus.drive_to(StateData)
