"""The example form's job from Python: connect to the simulation and show the sine for a few seconds.

Run after scripts/run has built the project:  PYTHONPATH=build/release/python python3 examples/monitor.py
"""
import vexa32

c = vexa32.Control()
c.svrname = "Vexa.Simulation.1"
c.itm0 = "SimulatePLC.Sine"
c.UpdateRate = "250"
c.cnnec()
for changed in c.changes(timeout=2, seconds=5):  # 5 s in all; over at once if nothing comes for 2 s
    for slot in changed:
        print(f"{slot.item} = {slot.value:.4f} ({slot.quality}) at {slot.timestamp:%H:%M:%S.%f}")
c.discnn()
