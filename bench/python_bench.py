"""By-name property reads of a vexa control from Python, against attribute reads of a plain Python
object in the same run.  PYTHONPATH=build/release/python python3 bench/python_bench.py"""
import timeit

import vexa32


class Plain:
    def __init__(self):
        self.svrname = "Vexa.Simulation.1"
        self.itm0 = "SimulatePLC.Sine"


def reads_per_second(statement, namespace, number=200_000):
    # The best of five: the least disturbed by the rest of the machine.
    return number / min(timeit.repeat(statement, globals=namespace, number=number, repeat=5))


c = vexa32.Control()
c.svrname = "Vexa.Simulation.1"
c.itm0 = "SimulatePLC.Sine"
plain = reads_per_second("p.svrname; p.itm0", {"p": Plain()}) * 2
for name in ("svrname", "itm0", "UpdateRate"):
    by_name = reads_per_second(f"c.{name}", {"c": c})
    print(f"c.{name}: {by_name:,.0f} reads/s; plain attribute {plain:,.0f} reads/s; ratio {plain / by_name:.1f}x")
