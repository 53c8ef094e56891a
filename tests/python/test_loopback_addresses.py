"""The loopback addresses of conftest.py: each handed out once, and only to
this test process while it runs."""

import errno
import socket

import pytest


def test_addresses_are_new_each_time_and_outside_the_fixed_ones(new_address):
    addresses = [new_address() for _ in range(300)]  # more than one block holds
    assert len(set(addresses)) == len(addresses)
    previous = None
    for address in addresses:
        first, x, y, host = (int(octet) for octet in address.split("."))
        assert first == 127
        assert (x, y) not in ((0, 0), (255, 255)), address  # the fixed addresses' block, the broadcast's
        # In turn within a block, from .2; .1 is the claim.
        if previous is not None and previous[:2] == (x, y):
            assert host == previous[2] + 1, address
        else:
            assert host == 2 or previous is None, address
        assert 2 <= host <= 254, address
        previous = (x, y, host)
    assert len({a.rsplit(".", 1)[0] for a in addresses}) >= 2


def test_the_block_of_an_address_is_claimed_for_this_process(camera_address):
    claim = camera_address.rsplit(".", 1)[0] + ".1"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
        with pytest.raises(OSError) as raised:
            other.bind((claim, 3956))
    assert raised.value.errno == errno.EADDRINUSE
    # Nothing is bound on the address itself: it is free for a camera.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as camera_port:
        camera_port.bind((camera_address, 3956))
