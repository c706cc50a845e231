#!/usr/bin/python3
"""An independent reading of the files in this folder, run once to fix the
numbers the reader tests expect (expected_readings.txt). It uses astropy's
FITS and IPAC readers and Python's csv module, and applies the rules each
file's documentation gives (README.md): quality flags, limits, 99.990
markers, NaN rows, gap markers, bands. It shares no code with the reader.

    /usr/bin/python3 independent_reading.py > expected_readings.txt
"""
import collections
import csv
import math
import numpy as np
from astropy.io import ascii, fits

def report(name, t, v, e, extra=""):
    order = np.argsort(np.asarray(t, dtype=float), kind="stable")
    t = np.asarray(t, dtype=float)[order]
    v = np.asarray(v, dtype=float)[order]
    e = np.asarray(e, dtype=float)[order]
    print(f"{name}: points={len(t)} first=({t[0]!r}, {v[0]!r}, {e[0]!r}) "
          f"last=({t[-1]!r}, {v[-1]!r}, {e[-1]!r}){extra}")

def mission(path, quality):
    with fits.open(path) as f:
        d = f[1].data
        ok = (np.isfinite(d["TIME"]) & np.isfinite(d["PDCSAP_FLUX"]) & (d["PDCSAP_FLUX"] != 0)
              & (d[quality] == 0))
        report(path, d["TIME"][ok], d["PDCSAP_FLUX"][ok], d["PDCSAP_FLUX_ERR"][ok],
               f" flagged={int((d[quality] != 0).sum())}")

mission("tess_spoc_fits/hlsp_tess-data-alerts_tess_phot_00025155310-s01_tess_v1_lc.fits", "QUALITY")
mission("kepler_fits/kplr011442793-2009350155506_llc.fits", "SAP_QUALITY")
mission("kepler_fits/kplr010666592-2009131110544_slc.fits", "SAP_QUALITY")

for path in ["gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 1985008784705347456.fits",
             "gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 393454948901343360.fits"]:
    with fits.open(path) as f:
        d = f[1].data
        ok = (~d["rejected_by_photometry"] & ~d["rejected_by_variability"] & np.isfinite(d["time"])
              & np.isfinite(d["mag"]))
        bands = [b.strip() for b in d["band"]]
        counts = {b: int(sum(1 for i in range(len(d)) if ok[i] and bands[i] == b)) for b in ["G", "BP", "RP"]}
        best = max(counts, key=lambda b: counts[b])  # the first of equal counts
        sel = ok & np.array([b == best for b in bands])
        report(path, d["time"][sel], d["mag"][sel], 2.5 / math.log(10) / d["flux_over_error"][sel].astype(np.float64),
               f" band={best} counts={counts}")

z = ascii.read("ztf/ztf_J0139+5245_irsa_ipac_lc.txt", format="ipac")
good = z[z["catflags"] == 0]
counts = {b: int((good["filtercode"] == b).sum()) for b in ["zg", "zr"]}
best = max(counts, key=lambda b: counts[b])
s = good[good["filtercode"] == best]
report("ztf/ztf_J0139+5245_irsa_ipac_lc.txt", s["hjd"], s["mag"], s["magerr"],
       f" band={best} counts={counts} flagged={int((z['catflags'] != 0).sum())}")

rows = list(csv.DictReader(open("asassn/asassn_v1_J060000_light_curve_b4508c12-b04a-467c-9e20-6881885cf0fb.csv")))
limits = [r for r in rows if r["mag"].startswith(">")]
markers = [r for r in rows if not r["mag"].startswith(">") and float(r["mag"]) > 99]
kept = [r for r in rows if not r["mag"].startswith(">") and float(r["mag"]) < 99]
report("asassn/asassn_v1", [r["HJD"] for r in kept], [r["mag"] for r in kept], [r["mag_err"] for r in kept],
       f" limits={len(limits)} markers={len(markers)}")

lines = open("asassn/asassn_skypatrol2_VX_Men.csv").read().splitlines()
rows = list(csv.DictReader(lines[1:]))
report("asassn/asassn_skypatrol2_VX_Men.csv", [r["jd"] for r in rows], [r["mag"] for r in rows],
       [r["mag_err"] for r in rows])

rows = list(csv.reader(open("aavso/SN2011FE.csv"), escapechar="\\"))
head, rows = rows[0], rows[1:]
J, M, U, B = head.index("JD"), head.index("Magnitude"), head.index("Uncertainty"), head.index("Band")
v = [r for r in rows if r[B] == "V" and not r[M].startswith("<")]
withErr = [r for r in v if r[U] != ""]
report("aavso/SN2011FE.csv", [r[J] for r in withErr], [r[M] for r in withErr], [r[U] for r in withErr],
       f" band V rows={len(v)} without error={len(v) - len(withErr)}")

rows = list(csv.reader(open("aavso/WYHYA.csv")))
diff = [r for r in rows if r[4] == "V" and r[19] == "DIFF"]
report("aavso/WYHYA.csv", [r[0] for r in diff], [r[1] for r in diff], [1.0] * len(diff),
       f" V DIFF rows={len(diff)} V STD rows={sum(1 for r in rows if r[19] == 'STD')} "
       f"without error={sum(1 for r in diff if r[2] == '')}")

rows = list(csv.DictReader(open("text/sdss_s82_rrlyr_4984662.csv")))
counts = {}
for r in rows:
    counts[r["band"]] = counts.get(r["band"], 0) + 1
best = max(counts, key=lambda b: counts[b])  # dicts keep the order of first appearance
s = [r for r in rows if r["band"] == best]
report("text/sdss_s82_rrlyr_4984662.csv", [r["time"] for r in s], [r["mag"] for r in s],
       [r["magerr"] for r in s], f" band={best} counts={counts}")

d = np.loadtxt("text/lc_1.3444.614.B.mjd", comments="#")
report("text/lc_1.3444.614.B.mjd", d[:, 0], d[:, 1], d[:, 2])

# The second set: counts per band by each product's documented flags.
def count(name, n, extra=""):
    print(f"{name}: points={n}{extra}")

with fits.open("k2_hlsp/hlsp_k2sc_k2_llc_211117077-c04_kepler_v2_lc.fits") as f:
    d = f["PDC"].data  # K2SC: quality (Kepler bits) and mflags (outliers), 0 = good
    count("k2_hlsp/k2sc", int((np.isfinite(d["time"]) & np.isfinite(d["flux"]) & (d["quality"] == 0)
                               & (d["mflags"] == 0)).sum()))
with fits.open("k2_hlsp/hlsp_k2sff_k2_lightcurve_246199087-c12_kepler_v1_llc.fits") as f:
    d = f["BESTAPER"].data  # K2SFF: MOVING = 1 during thruster firings
    count("k2_hlsp/k2sff", int((np.isfinite(d["T"]) & np.isfinite(d["FCOR"]) & (d["MOVING"] == 0)).sum()))
with fits.open("tess_hlsp/hlsp_tess-spoc_tess_phot_0000000278892590-s0070_tess_v1_lc.fits") as f:
    d = f["LIGHTCURVE"].data
    count("tess_hlsp/tess-spoc", int((np.isfinite(d["TIME"]) & np.isfinite(d["PDCSAP_FLUX"])
                                      & (d["QUALITY"] == 0)).sum()))
with fits.open("tess_hlsp/hlsp_pathos_tess_lightcurve_tic-0936441397-s036_tess_v1_llc.fits") as f:
    d = f[1].data  # PATHOS: DQUALITY 0 = good; PSF_FLUX_COR as its authors advise
    count("tess_hlsp/pathos", int((np.isfinite(d["TIME"]) & np.isfinite(d["PSF_FLUX_COR"])
                                   & (d["DQUALITY"] == 0)).sum()))

lines = [l for l in open("ztf_forced/forcedphotometry_req00381185_lc.txt") if not l.startswith("#") and l.strip()]
names = [n.strip() for n in lines[0].split(",")]
rows = [dict(zip(names, l.split())) for l in lines[1:]]
good = [r for r in rows if r["procstatus"] == "0" and r["infobitssci"] == "0" and r["forcediffimflux"] != "null"]
counts = {b: sum(1 for r in good if r["filter"] == b) for b in ["ZTF_r", "ZTF_g", "ZTF_i"]}
count("ztf_forced", max(counts.values()), f" band={max(counts, key=lambda b: counts[b])} counts={counts}")

lines = open("atlas/atlas_transient_server_forced_1000438990080559900.txt").read().splitlines()
rows = list(csv.DictReader([lines[0][1:]] + [l for l in lines[1:] if l.strip()]))
good = [r for r in rows if not r["mag"].startswith(">") and "None" not in (r["mag"], r["dm"], r["mjd"])]
counts = {b: sum(1 for r in good if r["filter"] == b) for b in ["o", "c"]}
count("atlas", max(counts.values()), f" band=o counts={counts}")

rows = list(csv.DictReader(open("catalina/crts_1143_Catalina.csv")))
count("catalina", len([r for r in rows if r["Mag"] and r["MJD"]]))
count("kelt", len(np.loadtxt("kelt/KELT-KS25C041156_J1406_TFA.txt", skiprows=1)))
count("brite", len(np.loadtxt("brite/betaPic-BRITE-R-2015.dat")))
count("ogle", len(np.loadtxt("ogle/OGLE-LMC-CEP-1354.dat")))

# DASCH VOTable (read with astropy's VOTable parser): the AFLAGS bits the
# DASCH team's client rejects by default (1-based bits 7, 12, 13, 14, 16).
from astropy.io.votable import parse_single_table
d = parse_single_table("dasch/plotshort_APASS_J140747.9-394543.xml").array
bad = (1 << 6) | (1 << 11) | (1 << 12) | (1 << 13) | (1 << 15)
count("dasch", int((np.isfinite(d["magcal_magdep"]) & ((d["AFLAGS"] & bad) == 0)).sum()))

# WISE L1b: per band, ph_qual A/B/C (U is an upper limit, X/Z no
# measurement), cc_flags letter 0, qual_frame > 0.
w = ascii.read("wise/WISE_AllSky_SingleExposure_L1bs_SDSSJ0100.tbl", format="ipac")
counts = {f"W{b}": sum(1 for r in w if r["ph_qual"][b - 1] in "ABC" and r["cc_flags"][b - 1] == "0"
                        and r["qual_frame"] > 0 and not np.ma.is_masked(r[f"w{b}mpro"]))
          for b in range(1, 5)}
count("wise", max(counts.values()), f" band=W1 counts={counts}")

# AAVSO Extended report: one series per star and filter (MTYPE STD).
lines = [l for l in open("aavso/AAVSOreport-20170504.txt") if l.strip()]
header = [l for l in lines if l.startswith("#NAME,")][0][1:].strip().split(",")
rows = [dict(zip(header, next(csv.reader([l])))) for l in lines if not l.startswith("#")]
series = collections.Counter((r["NAME"].strip(), r["FILT"].strip()) for r in rows
                             if r["MTYPE"].strip() == "STD" and not r["MAG"].strip().startswith("<"))
(star, filt), n = series.most_common(1)[0]
count("aavso/extended", n, f" series={star}/{filt} of {len(series)}")

# AAVSO blank-delimited download: split at each single blank; only the
# first five fields stand where AAVSO's column order puts them.
rows = [l.split(" ") for l in open("aavso/aavsodata_J_2017_11_11.txt", newline="").read().split("\r\n")[1:]
        if l.strip()]
counts = collections.Counter(r[4] for r in rows if r[0] and r[1] and r[2])
count("aavso/blank", max(counts.values()), f" band=V counts={dict(counts)}")
