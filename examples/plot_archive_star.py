# %% [markdown]
# # One archive light curve, from file to period, in a notebook
#
# Run cell by cell in a notebook (each "# %%" is a cell), or as a script:
#
#     PYTHONPATH=build/release/python python3 examples/plot_archive_star.py [FILE]
#
# It reads an archive file (by default the OGLE-IV Cepheid of this folder,
# catalogued at 8.4608918 d), searches it with the Python defaults (the grid
# from the data, the peak refined, the alias decided: `fazorn-cli analyse
# --auto`), prints the result and saves the three charts beside the working
# directory as PNG.

# %%
import pathlib
import sys

import matplotlib

if "ipykernel" not in sys.modules:
    matplotlib.use("Agg")  # a script: files only, no window

import fazorn

here = pathlib.Path(__file__).resolve().parent if "__file__" in globals() else pathlib.Path("examples")
path = sys.argv[1] if len(sys.argv) > 1 and "ipykernel" not in sys.modules else here / "OGLE-LMC-CEP-1513.dat"
t, y, dy, notes = fazorn.read(path)
print("\n".join(notes))

# %%
result = fazorn.analyse(t, y, dy, name=pathlib.Path(path).name)
print(f"period {result.period:.7f} ± {result.period_error:.2g} d, type {result.type}, alias {result.alias}")
for key in ("amplitude", "epoch_of_maximum", "warnings"):
    print(f"{key}: {result[key]}")

# %%
figure = result.plot()
out = pathlib.Path(pathlib.Path(path).stem + ".png")
figure.savefig(out, dpi=100)
print(f"charts: {out}")
