#!/usr/bin/python3
"""Writes the synthetic archive products of this folder and their expected
readings.

Each file follows the layout that its archive documents (README.md names
the document). The values are made up from a fixed seed; which rows a
reader must keep follows from how each row was made (its flags, nulls,
limits), so the expected counts below come from this construction, not
from Fazorn's reader. Run it from anywhere:

    /usr/bin/python3 tests/data/formats-synthetic/make_synthetic.py

It rewrites the files and expected_readings.txt; the files are committed,
so the tests do not need Python.
"""

import bz2
import gzip
import os
import shutil

import numpy as np
from astropy.io import fits

HERE = os.path.dirname(os.path.abspath(__file__))
RNG = np.random.default_rng(20240611)
# 2.5 / ln 10: a relative flux error of 1 in magnitudes (the "1.0857" of the
# archives' formulas).
MAG_PER_RELATIVE_FLUX = 2.5 / np.log(10.0)
EXPECTED = []  # (file, options, points, band, phrase, first observation)


def path(*parts):
    p = os.path.join(HERE, *parts)
    os.makedirs(os.path.dirname(p), exist_ok=True)
    return p


def expect(name, points, band="", phrase="", options="-", first=None, kind=None):
    first_text = "-" if first is None else ",".join(repr(float(x)) for x in first)
    # kind: "mag" or "flux", what the values are (a seventh field when given).
    EXPECTED.append((name, options, points, band or "-", phrase, first_text) +
                    (() if kind is None else (kind,)))


def sine(t, period, amplitude):
    return amplitude * np.sin(2 * np.pi * t / period)


def write_fits(name, tables, primary_cards=()):
    primary = fits.PrimaryHDU()
    for key, value in primary_cards:
        primary.header[key] = value
    hdus = [primary]
    for extname, columns, cards in tables:
        hdu = fits.BinTableHDU.from_columns(columns)
        if extname:
            hdu.header["EXTNAME"] = extname
        for key, value in cards:
            hdu.header[key] = value
        hdus.append(hdu)
    fits.HDUList(hdus).writeto(path(name), overwrite=True)


def col(name, fmt, array, unit=None):
    return fits.Column(name=name, format=fmt, array=array, unit=unit)


def compress(name, kind):
    src = path(name)
    dst = src + (".gz" if kind == "gz" else ".bz2")
    # mtime 0 and no file name in the gzip header: the same bytes on every
    # run, so that regenerating leaves the kept .gz files unchanged.
    with open(src, "rb") as f, open(dst, "wb") as raw:
        if kind == "gz":
            with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0) as g:
                shutil.copyfileobj(f, g)
        else:
            with bz2.open(raw, "wb") as g:
                shutil.copyfileobj(f, g)
    return name + (".gz" if kind == "gz" else ".bz2")


# --------------------------------------------------------------------------
# K2 high-level products (MAST HLSPs)


def k2varcat():
    n = 240
    t = 1940.0 + np.arange(n) * 0.0204  # BKJD, long cadence
    det = 1.0 + sine(t, 1.7, 0.01) + RNG.normal(0, 5e-4, n)
    apt = 4.2e4 * det
    det[RNG.choice(n, 9, replace=False)] = np.nan
    cols = [col("TIME", "D", t, "BJD - 2454833"),
            col("APTFLUX", "E", apt, "e-/s"),
            col("APTFLUX_ERR", "E", np.full(n, 30.0), "e-/s"),
            col("DETFLUX", "E", det),
            col("DETFLUX_ERR", "E", np.full(n, 7e-4))]
    name = "k2_hlsp/hlsp_k2varcat_k2_lightcurve_201234567-c01_kepler_v2_llc.fits"
    # The light curve's table has no EXTNAME; the aperture image follows.
    write_fits(name, [(None, cols, [])])
    expect(name, int(np.isfinite(det).sum()), "",
           "time=TIME, value=DETFLUX, error=DETFLUX_ERR")


def everest():
    # Version 2: the table "LC ARRAYS" of everest/fits.py (CADN, FLUX,
    # FRAW, FRAW_ERR, QUALITY, TIME, FCOR, CBVnn, BKG).
    n = 260
    t = 2060.0 + np.arange(n) * 0.0204
    flux = 3.1e4 * (1 + sine(t, 2.3, 0.02)) + RNG.normal(0, 20, n)
    quality = np.zeros(n, dtype=np.int32)
    quality[RNG.choice(n, 12, replace=False)] = 2 ** (23 - 1)  # EVEREST outliers
    quality[RNG.choice(n, 6, replace=False)] |= 128  # a Kepler flag
    nan = RNG.choice(n, 5, replace=False)
    flux[nan] = np.nan
    quality[nan] |= 2 ** (24 - 1)
    cols = [col("CADN", "D", np.arange(n) + 100000.0),
            col("FLUX", "D", flux, "e-/s"),
            col("FRAW", "D", flux * 1.01, "e-/s"),
            col("FRAW_ERR", "D", np.full(n, 25.0), "e-/s"),
            col("QUALITY", "J", quality),
            col("TIME", "D", t, "BJD - 2454833"),
            col("FCOR", "D", flux - 3.0, "e-/s"),
            col("CBV01", "D", RNG.normal(0, 1, n)),
            col("CBV02", "D", RNG.normal(0, 1, n)),
            col("BKG", "D", np.full(n, 3.0))]
    name = "k2_hlsp/hlsp_everest_k2_llc_201234568-c02_kepler_v2.0_lc.fits"
    write_fits(name, [("LC ARRAYS", cols, [("BJDREFI", 2454833), ("BJDREFF", 0.0)])],
               [("TELESCOP", "Kepler"), ("MISSION", "k2")])
    good = (quality == 0) & np.isfinite(flux)
    expect(name, int(good.sum()), "", "time=TIME, value=FLUX, no error column")

    # Version 1 (MAST's description of the first release): TIME, FLUX,
    # OUTLIER (1: masked as an outlier), BKG_FLUX, RAW_FLUX, RAW_FERR.
    n = 200
    t = 1980.0 + np.arange(n) * 0.0204
    flux = 1.2e4 * (1 + sine(t, 0.9, 0.03)) + RNG.normal(0, 15, n)
    outlier = np.zeros(n, dtype=np.int16)
    outlier[RNG.choice(n, 11, replace=False)] = 1
    cols = [col("TIME", "D", t, "BJD - 2454833"),
            col("FLUX", "D", flux, "e-/s"),
            col("OUTLIER", "I", outlier),
            col("BKG_FLUX", "D", np.zeros(n)),
            col("RAW_FLUX", "D", flux + 5),
            col("RAW_FERR", "D", np.full(n, 14.0))]
    name = "k2_hlsp/hlsp_everest_k2_llc_201234569-c03_kepler_v1.0_lc.fits"
    write_fits(name, [(None, cols, [])])
    expect(name, int((outlier == 0).sum()), "", "time=TIME, value=FLUX")


def polar():
    # As MAST's portal reads POLAR files: table 1 FILTIME/FILFLUX (filtered
    # of the star's variability), table 2 DETTIME/DETFLUX (detrended only);
    # times BJD - 2400000.
    n = 220
    t = 56800.0 + np.arange(n) * 0.0204
    det = 1 + sine(t, 3.1, 0.015) + RNG.normal(0, 4e-4, n)
    det[RNG.choice(n, 7, replace=False)] = np.nan
    filt = 1 + RNG.normal(0, 4e-4, n)
    t1 = [col("FILTIME", "D", t), col("FILFLUX", "D", filt), col("FILFLUXERR", "D", np.full(n, 4e-4))]
    t2 = [col("DETTIME", "D", t), col("DETFLUX", "D", det), col("DETFLUXERR", "D", np.full(n, 4e-4))]
    name = "k2_hlsp/hlsp_polar_k2_lightcurve_201234570-c04_kepler_v1_llc.fits"
    write_fits(name, [(None, t1, []), (None, t2, [])])
    expect(name, int(np.isfinite(det).sum()), "", "time=DETTIME, value=DETFLUX, error=DETFLUXERR")


# --------------------------------------------------------------------------
# TESS full-frame-image products (MAST HLSPs)

CDIPS_COLUMNS = (["BGE", "BGV", "CCDTEMP", "FDV", "FKV", "FSV"]
                 + [f"IFE{k}" for k in (1, 2, 3)] + [f"IFL{k}" for k in (1, 2, 3)]
                 + [f"IRE{k}" for k in (1, 2, 3)] + [f"IRM{k}" for k in (1, 2, 3)]
                 + [f"IRQ{k}" for k in (1, 2, 3)] + [f"PCA{k}" for k in (1, 2, 3)]
                 + ["RSTFC"] + [f"TFA{k}" for k in (1, 2, 3)]
                 + ["TMID_BJD", "TMID_UTC", "XCC", "XIC", "YCC", "YIC"])


def cdips():
    # 34 columns in alphabetical order, as CDIPS writes them; aperture 2 is
    # the quietest here. IRQn: "G" or "0" good, "X" bad.
    n = 300
    tmid = 2458600.0 + np.arange(n) * (30.0 / 1440.0)
    star = sine(tmid, 1.37, 0.01)
    noise = {1: 0.020, 2: 0.006, 3: 0.011}
    data = {}
    for k in (1, 2, 3):
        irm = 12.3 + star + RNG.normal(0, noise[k], n)
        irq = np.array(["G"] * n)
        irq[RNG.choice(n, 25, replace=False)] = "0"
        irq[RNG.choice(n, 14 + k, replace=False)] = "X"
        irm[RNG.choice(n, 4, replace=False)] = np.nan
        data[f"IRM{k}"] = irm
        data[f"IRE{k}"] = np.full(n, noise[k])
        data[f"IRQ{k}"] = irq
        data[f"IFL{k}"] = 10 ** (-0.4 * (irm - 25))
        data[f"IFE{k}"] = data[f"IFL{k}"] * noise[k] / 1.0857
        data[f"TFA{k}"] = irm - np.nanmedian(irm) + 12.3
        data[f"PCA{k}"] = irm - np.nanmedian(irm) + 12.3
    units = {"TMID_BJD": "day", "TMID_UTC": "day", "BGV": "ADU", "BGE": "ADU"}
    cols = []
    for name in CDIPS_COLUMNS:
        if name.startswith("IRQ"):
            cols.append(col(name, "1A", data[name]))
        elif name == "RSTFC":
            cols.append(col(name, "24A", np.array([f"{9000 + i}-1-2" for i in range(n)])))
        elif name == "TMID_BJD":
            cols.append(col(name, "D", tmid, "day"))
        elif name == "TMID_UTC":
            cols.append(col(name, "D", tmid - 0.0008, "day"))
        elif name in data:
            unit = "mag" if name[:3] in ("IRM", "IRE", "TFA", "PCA") else "ADU"
            cols.append(col(name, "D", data[name], unit))
        else:
            cols.append(col(name, "D", RNG.normal(100, 1, n), units.get(name)))
    assert len(cols) == 34
    name = ("tess_ffi/hlsp_cdips_tess_ffi_gaiatwo0003318512385226573568-0006-cam1-ccd2_"
            "tess_v01_llc.fits")
    write_fits(name, [(None, cols, [])], [("ORIGIN", "Bouma/CDIPS"), ("TELESCOP", "TESS")])
    good = np.isfinite(data["IRM2"]) & np.isin(data["IRQ2"], ["G", "0"])
    expect(name, int(good.sum()), "IRM2", "time=TMID_BJD, value=IRM2, error=IRE2")
    expect(compress(name, "gz"), int(good.sum()), "IRM2", "value=IRM2")
    # An aperture named with --band; and a trend-filtered magnitude chosen
    # with --columns keeps its aperture's quality letters.
    good3 = np.isfinite(data["IRM3"]) & np.isin(data["IRQ3"], ["G", "0"])
    expect(name, int(good3.sum()), "IRM3", "value=IRM3", "band:IRM3")
    good1 = np.isfinite(data["TFA1"]) & np.isin(data["IRQ1"], ["G", "0"])
    expect(name, int(good1.sum()), "", "time=TMID_BJD, value=TFA1", "columns:TMID_BJD,TFA1")


def qlp():
    # The QLP data product description: TIME (BTJD), SAP_FLUX (normalised),
    # KSPSAP_FLUX and its error, QUALITY (non-zero: bad), ORBITID, SAP_X/Y,
    # SAP_BKG and its error, KSPSAP_FLUX_SML/LAG.
    n = 400
    t = 1600.0 + np.arange(n) * (30.0 / 1440.0)
    sap = 1 + sine(t, 0.61, 0.02) + RNG.normal(0, 1e-3, n)
    quality = np.zeros(n, dtype=np.int32)
    quality[RNG.choice(n, 30, replace=False)] = 4096
    quality[RNG.choice(n, 10, replace=False)] |= 2048
    sap[RNG.choice(n, 6, replace=False)] = np.nan
    cols = [col("TIME", "D", t, "BTJD = BJD - 2457000"),
            col("SAP_FLUX", "E", sap), col("KSPSAP_FLUX", "E", sap),
            col("KSPSAP_FLUX_ERR", "E", np.full(n, 1e-3)),
            col("QUALITY", "J", quality), col("ORBITID", "J", np.ones(n, dtype=np.int32)),
            col("SAP_X", "E", np.full(n, 10.0)), col("SAP_Y", "E", np.full(n, 11.0)),
            col("SAP_BKG", "E", np.full(n, 5.0)), col("SAP_BKG_ERR", "E", np.full(n, 0.5)),
            col("KSPSAP_FLUX_SML", "E", sap), col("KSPSAP_FLUX_LAG", "E", sap)]
    name = "tess_ffi/hlsp_qlp_tess_ffi_s0010-0000000123456789_tess_v01_llc.fits"
    write_fits(name, [("LIGHTCURVE", cols, [("TIMEREF", "SOLARSYSTEM")])],
               [("ORIGIN", "MIT/QLP"), ("TELESCOP", "TESS")])
    good = (quality == 0) & np.isfinite(sap)
    expect(name, int(good.sum()), "", "time=TIME, value=SAP_FLUX, error=KSPSAP_FLUX_ERR")


def eleanor_lite():
    # GSFC-ELEANOR-LITE: TIME, RAW_FLUX, CORR_FLUX, PCA_FLUX, FLUX_ERR,
    # FLUX_BKG, QUALITY, FFIINDEX, X_CENTROID, Y_CENTROID.
    n = 330
    t = 2400.0 + np.arange(n) * (10.0 / 1440.0)
    corr = 5.2e3 * (1 + sine(t, 0.33, 0.01)) + RNG.normal(0, 5, n)
    quality = np.zeros(n, dtype=np.int32)
    quality[RNG.choice(n, 21, replace=False)] = 128
    quality[RNG.choice(n, 5, replace=False)] |= 131072
    corr[RNG.choice(n, 4, replace=False)] = np.nan
    cols = [col("TIME", "D", t, "BJD - 2457000, days"), col("RAW_FLUX", "E", corr),
            col("CORR_FLUX", "E", corr), col("PCA_FLUX", "E", corr),
            col("FLUX_ERR", "E", np.full(n, 5.0)), col("FLUX_BKG", "E", np.full(n, 40.0)),
            col("QUALITY", "J", quality), col("FFIINDEX", "J", np.arange(n, dtype=np.int32)),
            col("X_CENTROID", "E", np.full(n, 4.0)), col("Y_CENTROID", "E", np.full(n, 4.0))]
    name = "tess_ffi/hlsp_gsfc-eleanor-lite_tess_ffi_s0045-0000000123456790_tess_v1.0_lc.fits"
    write_fits(name, [(None, cols, [])], [("TELESCOP", "TESS"), ("LITE", True), ("PCORIGIN", "x")])
    good = (quality == 0) & np.isfinite(corr)
    expect(name, int(good.sum()), "", "time=TIME, value=CORR_FLUX, error=FLUX_ERR")


def tglc():
    # TGLC: time, cadence_num, aperture_flux, psf_flux, background,
    # cal_aper_flux, cal_psf_flux, TESS_flags, TGLC_flags (0: good).
    n = 310
    t = 1400.0 + np.arange(n) * (30.0 / 1440.0)
    cal = 1 + sine(t, 0.9, 0.01) + RNG.normal(0, 1e-3, n)
    tess_flags = np.zeros(n, dtype=np.int16)
    tess_flags[RNG.choice(n, 17, replace=False)] = 32
    tglc_flags = np.zeros(n, dtype=np.int16)
    tglc_flags[RNG.choice(n, 9, replace=False)] = 1
    cal[RNG.choice(n, 3, replace=False)] = np.nan
    cols = [col("time", "D", t), col("cadence_num", "J", np.arange(n, dtype=np.int32)),
            col("aperture_flux", "E", cal * 800), col("psf_flux", "E", cal * 810),
            col("background", "E", np.full(n, 3.0)), col("cal_aper_flux", "E", cal),
            col("cal_psf_flux", "E", cal), col("TESS_flags", "I", tess_flags),
            col("TGLC_flags", "I", tglc_flags)]
    name = "tess_ffi/hlsp_tglc_tess_ffi_gaiaid-4567890123456789012-s0012-cam1-ccd1_tess_v1_llc.fits"
    write_fits(name, [(None, cols, [])], [("ORIGIN", "UCSB/TGLC"), ("TELESCOP", "TESS")])
    good = (tess_flags == 0) & (tglc_flags == 0) & np.isfinite(cal)
    expect(name, int(good.sum()), "", "time=time, value=cal_psf_flux, no error column")


def tasoc():
    # TASOC: TIME, TIMECORR, CADENCENO, FLUX_RAW, FLUX_RAW_ERR, FLUX_BKG,
    # FLUX_CORR, FLUX_CORR_ERR, QUALITY, PIXEL_QUALITY, MOM_CENTR1/2,
    # POS_CORR1/2.
    n = 280
    t = 1325.0 + np.arange(n) * (30.0 / 1440.0)
    corr = 1 + sine(t, 1.1, 0.004) + RNG.normal(0, 3e-4, n)
    quality = np.zeros(n, dtype=np.int32)
    quality[RNG.choice(n, 13, replace=False)] = 1
    corr[RNG.choice(n, 8, replace=False)] = np.nan
    cols = [col("TIME", "D", t, "BJD - 2457000, days"), col("TIMECORR", "E", np.zeros(n)),
            col("CADENCENO", "J", np.arange(n, dtype=np.int32)),
            col("FLUX_RAW", "D", corr * 1e4), col("FLUX_RAW_ERR", "D", np.full(n, 3.0)),
            col("FLUX_BKG", "D", np.full(n, 20.0)), col("FLUX_CORR", "D", corr),
            col("FLUX_CORR_ERR", "D", np.full(n, 3e-4)), col("QUALITY", "J", quality),
            col("PIXEL_QUALITY", "J", np.zeros(n, dtype=np.int32)),
            col("MOM_CENTR1", "D", np.full(n, 5.0)), col("MOM_CENTR2", "D", np.full(n, 5.0)),
            col("POS_CORR1", "D", np.zeros(n)), col("POS_CORR2", "D", np.zeros(n))]
    name = "tess_ffi/hlsp_tasoc_tess_ffi_tic00000123456791-s0001-cam1-ccd1-c1800_tess_v05_lc.fits"
    write_fits(name, [("LIGHTCURVE", cols, [])], [("ORIGIN", "TASOC/Aarhus"), ("TELESCOP", "TESS")])
    good = (quality == 0) & np.isfinite(corr)
    expect(name, int(good.sum()), "", "time=TIME, value=FLUX_CORR, error=FLUX_CORR_ERR")


# --------------------------------------------------------------------------
# NEOWISE and AllWISE (IRSA)


def ipac_table(names, types, units, rows, keywords):
    """An IPAC table as IRSA's Gator writes it: keywords, four | lines,
    fixed-width rows, null as the null marker."""
    widths = [max(len(n), len(t), len(u), 4, *(len(r[i]) for r in rows)) + 1
              for i, (n, t, u) in enumerate(zip(names, types, units))]
    def line(cells):
        return "|" + "|".join(c.ljust(w) for c, w in zip(cells, widths)) + "|"
    out = [f"\\{k} = {v}" for k, v in keywords] + ["\\"]
    out += [line(names), line(types), line(units), line(["null"] * len(names))]
    for r in rows:
        out.append(" " + " ".join(c.ljust(w) for c, w in zip(r, widths)) + " ")
    return "\n".join(out) + "\n"


def neowise():
    # NEOWISE-R Single Exposure (L1b) Source Table (neowiser_p1bs_psd):
    # only W1 and W2, so ph_qual, cc_flags and moon_masked hold two
    # letters; qual_frame, qi_fact and saa_sep describe the frame.
    n = 60
    mjd = 58000.0 + np.sort(RNG.uniform(0, 1500, n))
    rows, counts = [], {"W1": 0, "W2": 0}
    for i in range(n):
        w = {"W1": 13.2 + sine(mjd[i], 310, 0.1), "W2": 12.9 + sine(mjd[i], 310, 0.12)}
        ph = [RNG.choice(list("AAAAAAAABBCUX")) for _ in range(2)]
        cc = [RNG.choice(list("000000000000DPH")) for _ in range(2)]
        moon = [RNG.choice(list("0000000000001")) for _ in range(2)]
        qual_frame = int(RNG.choice([10] * 8 + [5, 0]))
        qi_fact = float(RNG.choice([1.0] * 6 + [0.5, 0.0]))
        saa_sep = float(RNG.choice([40.0, 60.0, 12.0] * 3 + [-3.0]))
        cells = {}
        for b, k in (("W1", 0), ("W2", 1)):
            letter = ph[k]
            mag = "null" if letter == "X" else f"{w[b] + RNG.normal(0, 0.03):.3f}"
            sig = "null" if letter in "UX" else "0.030"
            cells[b] = (mag, sig)
            good = (letter in "ABC" and cc[k] == "0" and moon[k] == "0" and qual_frame > 0
                    and qi_fact > 0 and saa_sep >= 0)
            counts[b] += int(good)
        rows.append([f"{150.1 + 1e-5 * i:.7f}", "2.2000000", cells["W1"][0], cells["W1"][1],
                     "35.1", "1.02", cells["W2"][0], cells["W2"][1], "30.2", "0.98", "1", "0",
                     "".join(cc), "".join(ph), str(qual_frame), f"{qi_fact:.1f}",
                     f"{saa_sep:.1f}", "".join(moon), f"{mjd[i]:.6f}", "1234567890123",
                     "13.201", "0.024", "12.905", "0.022"])
    names = ["ra", "dec", "w1mpro", "w1sigmpro", "w1snr", "w1rchi2", "w2mpro", "w2sigmpro", "w2snr",
             "w2rchi2", "nb", "na", "cc_flags", "ph_qual", "qual_frame", "qi_fact", "saa_sep",
             "moon_masked", "mjd", "allwise_cntr", "w1mpro_allwise", "w1sigmpro_allwise",
             "w2mpro_allwise", "w2sigmpro_allwise"]
    types = ["double"] * 12 + ["char", "char", "int", "double", "double", "char", "double",
                               "long", "double", "double", "double", "double"]
    units = ["deg", "deg", "mag", "mag", "", "", "mag", "mag", "", "", "", "", "", "", "", "",
             "deg", "", "mjdate", "", "mag", "mag", "mag", "mag"]
    text = ipac_table(names, types, units, rows,
                      [("fixlen", "T"), ("RowsRetrieved", str(n)),
                       ("DATABASE", "'NEOWISE-R Single Exposure (L1b) Source Table (neowiser_p1bs_psd)'")])
    name = "neowise/neowiser_p1bs_psd_synthetic.tbl"
    open(path(name), "w").write(text)
    assert counts["W1"] != counts["W2"]
    band = max(counts, key=counts.get)
    other = "W2" if band == "W1" else "W1"
    expect(name, counts[band], band, "time=mjd, value=w%smpro" % band[1])
    expect(name, counts[other], other, "value=w%smpro" % other[1], "band:" + other)
    expect(compress(name, "gz"), counts[band], band, "time=mjd")

    # The same rows as IRSA's TAP service writes them in CSV: comma
    # separated, nulls as empty fields.
    csv = [",".join(names)]
    for r in rows:
        csv.append(",".join("" if c == "null" else c for c in r))
    name = "neowise/neowiser_p1bs_psd_synthetic.csv"
    open(path(name), "w").write("\n".join(csv) + "\n")
    expect(name, counts[band], band, "time=mjd, value=w%smpro" % band[1])


def allwise_mep():
    # AllWISE Multiepoch Photometry Table: w1mpro_ep ... w4mpro_ep with
    # w?sigmpro_ep, the frame's qi_fact, saa_sep, moon_masked (four letters)
    # and qual_frame; W3 and W4 null in the post-cryogenic epochs.
    n = 48
    mjd = 55200.0 + np.sort(RNG.uniform(0, 400, n))
    counts = {f"W{b}": 0 for b in (1, 2, 3, 4)}
    rows = []
    for i in range(n):
        cryo = mjd[i] < 55420
        moon = "".join(RNG.choice(list("000000001")) for _ in range(4))
        qual_frame = int(RNG.choice([10, 10, 10, 0]))
        qi_fact = float(RNG.choice([1.0, 1.0, 0.5, 0.0]))
        saa_sep = float(RNG.choice([30.0, 50.0, -1.0, 80.0]))
        cells = []
        for b in (1, 2, 3, 4):
            measured = b <= 2 or cryo
            if measured:
                cells += [f"{14.0 - b + RNG.normal(0, 0.04):.3f}", "0.040", "1.1"]
            else:
                cells += ["null", "null", "null"]
            good = measured and moon[b - 1] == "0" and qual_frame > 0 and qi_fact > 0 and saa_sep >= 0
            counts[f"W{b}"] += int(good)
        rows.append(["2000000001", "120.5000000", "-10.2000000", f"{mjd[i]:.6f}"] + cells +
                    ["1", "0", f"{qi_fact:.1f}", f"{saa_sep:.1f}", moon, str(qual_frame)])
    names = ["cntr_mf", "ra", "dec", "mjd"]
    for b in (1, 2, 3, 4):
        names += [f"w{b}mpro_ep", f"w{b}sigmpro_ep", f"w{b}rchi2_ep"]
    names += ["nb", "na", "qi_fact", "saa_sep", "moon_masked", "qual_frame"]
    types = ["long", "double", "double", "double"] + ["double"] * 12 + ["int", "int", "double",
                                                                          "double", "char", "int"]
    units = ["", "deg", "deg", "mjdate"] + ["mag", "mag", ""] * 4 + ["", "", "", "deg", "", ""]
    text = ipac_table(names, types, units, rows,
                      [("fixlen", "T"), ("RowsRetrieved", str(n)),
                       ("DATABASE", "'AllWISE Multiepoch Photometry Table (allwise_p3as_mep)'")])
    name = "neowise/allwise_p3as_mep_synthetic.tbl"
    open(path(name), "w").write(text)
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=mjd, value=w%smpro_ep" % band[1])
    expect(name, counts["W3"], "W3", "value=w3mpro_ep", "band:W3")


# --------------------------------------------------------------------------
# ATLAS


def atlas_server():
    # The forced-photometry server's output (fallingstar-data.com/forcedphot,
    # "Output Description"): a "###" header line, blank-separated columns
    # MJD m dm uJy duJy F err chi/N RA Dec x y maj min phi apfit mag5sig
    # PA_DEG Sky Obs. err non-zero: the fit failed; uJy 0 or below has no
    # magnitude.
    n = 120
    mjd = 59000.0 + np.sort(RNG.uniform(0, 300, n))
    header = "###MJD m dm uJy duJy F err chi/N RA Dec x y maj min phi apfit mag5sig PA_DEG Sky Obs"
    lines, counts = [header], {"o": 0, "c": 0}
    csv_lines = [header.lstrip("#").replace(" ", ",")]
    for i in range(n):
        f = "o" if RNG.random() < 0.65 else "c"
        ujy = 300 + 120 * np.sin(2 * np.pi * mjd[i] / 0.81) + RNG.normal(0, 30)
        if RNG.random() < 0.08:
            ujy = -abs(RNG.normal(40, 10))
        err = 0 if RNG.random() < 0.94 else int(RNG.choice([1, 3]))
        m = 23.9 - 2.5 * np.log10(abs(ujy))
        m = m if ujy > 0 else -m  # a negative flux's magnitude is written negative
        dm = 1.0857 * 30 / abs(ujy)
        obs = f"0{RNG.choice([1, 2])}a{int(mjd[i])}o{RNG.integers(1, 9999):04d}{f}"
        fields = [f"{mjd[i]:.6f}", f"{m:.3f}", f"{dm:.3f}", f"{ujy:.0f}", "30", f, str(err),
                  "1.05", "150.00100", "2.20000", "5000.50", "3000.25", "2.10", "2.00", "-40.1",
                  "-0.350", "19.52", "0.1", "20.84", obs]
        lines.append(" ".join(fields))
        csv_lines.append(",".join(fields))
        counts[f] += int(err == 0 and round(ujy) > 0)
    name = "atlas/job_forced_photometry_server_synthetic.txt"
    open(path(name), "w").write("\n".join(lines) + "\n")
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=MJD, value=m, error=dm")
    expect(name, counts["c"], "c", "value=m", "band:c")
    expect(compress(name, "bz2"), counts[band], band, "value=m")
    # Saved as CSV (the server's API example reads it with pandas); this
    # copy's download broke off inside its last row, which must be left out.
    last = csv_lines[-1].split(",")
    cut = ",".join(last[:7])
    name = "atlas/job_forced_photometry_server_synthetic_cut.csv"
    open(path(name), "w").write("\n".join(csv_lines[:-1] + [cut]))
    counts_cut = dict(counts)
    last_f, last_err, last_ujy = last[5], int(last[6]), float(last[3])
    counts_cut[last_f] -= int(last_err == 0 and last_ujy > 0)
    band = max(counts_cut, key=counts_cut.get)
    expect(name, counts_cut[band], band, "row cut short at the end of the file")


DPH_HEADER = ("RA Dec m idx Type xtsk ytsk fitmag dfitmag sky major minor phi probgal apmag "
              "dapmag apsky ap-fit")


def atlas_dph():
    # One exposure's catalogue in the DoPHOT layout ATLAS writes (.dph):
    # many stars, no time: it must be refused, never read as a light curve.
    lines = ["# " + DPH_HEADER]
    for i in range(40):
        m = 12 + RNG.uniform(0, 5)
        lines.append(f"{72.9 + 0.01 * i:.5f} {-0.17 + 0.01 * i:.5f} {m:.3f} {i + 1} 1 "
                     f"{100 + 10 * i:.2f} {40 + 3 * i:.2f} {m - 25.3:.3f} 0.020 600.1 3.9 3.8 "
                     f"-12.0 -0.3E+02 {m - 25.2:.3f} 0.030 620.0 0.400")
    name = "atlas/01a58900o0123c.dph"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, -1, "", "holds many stars and no time column")

    # One star's rows gathered from many exposures, with their MJD and
    # exposure name (whose last letter is the filter): DoPHOT type 1 is a
    # star whose fit succeeded, m 99.999 is no measurement.
    lines = ["# MJD Obs " + DPH_HEADER]
    counts = {"o": 0, "c": 0}
    n = 90
    mjd = 58900.0 + np.sort(RNG.uniform(0, 200, n))
    for i in range(n):
        f = "o" if RNG.random() < 0.6 else "c"
        typ = int(RNG.choice([1, 1, 1, 1, 1, 1, 1, 3, 7, 8]))
        m = 14.2 + 0.3 * np.sin(2 * np.pi * mjd[i] / 2.7) + RNG.normal(0, 0.02)
        if RNG.random() < 0.05:
            m = 99.999
        obs = f"02a{int(mjd[i])}o{RNG.integers(1, 9999):04d}{f}"
        lines.append(f"{mjd[i]:.6f} {obs} 72.99893 -0.17370 {m:.3f} {i + 1} {typ} 7313.40 41.15 "
                     f"{m - 25.3:.3f} 0.021 599.22 3.964 3.844 -11.84 -0.369E+02 {m - 25.2:.3f} "
                     "0.039 628.11 0.401")
        counts[f] += int(typ == 1 and m < 99)
    name = "atlas/atlas_dph_rows_of_one_star.txt"
    open(path(name), "w").write("\n".join(lines) + "\n")
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=MJD, value=m, error=dfitmag")


# --------------------------------------------------------------------------
# ZTF forced photometry (IPAC)


ZTF_COLUMNS = ("index, field, ccdid, qid, filter, pid, infobitssci, sciinpseeing, scibckgnd, "
               "scisigpix, zpmaginpsci, zpmaginpsciunc, zpmaginpscirms, clrcoeff, clrcoeffunc, "
               "ncalmatches, exptime, adpctdif1, adpctdif2, diffmaglim, zpdiff, programid, jd, "
               "rfid, forcediffimflux, forcediffimfluxunc, forcediffimsnr, forcediffimchisq, "
               "forcediffimfluxap, forcediffimfluxuncap, forcediffimsnrap, aperturecorr, "
               "dnearestrefsrc, nearestrefmag, nearestrefmagunc, nearestrefchi, nearestrefsharp, "
               "refjdstart, refjdend, procstatus")


def ztf_forced():
    # A variable star at the position of its reference-image source (within
    # 1 arcsec): magnitudes from difference + reference flux, errors by the
    # service's formula sqrt(unc^2 - refunc^2).
    n = 90
    jd = 2459000.5 + np.sort(RNG.uniform(0, 400, n))
    lines = ["# ZTF forced psf-fit photometry output",
             "# Generated by forcedphotometry_trim.pl, v3.8 on 2024-07-16",
             "# Requested input R.A. = 280.1 degrees",
             "# Order of columns below:", " " + ZTF_COLUMNS, "#"]
    counts = {"ZTF_g": 0, "ZTF_r": 0}
    first = {}
    for i in range(n):
        flt = "ZTF_r" if RNG.random() < 0.6 else "ZTF_g"
        zp = 26.0 + RNG.normal(0, 0.05)
        refmag, refunc = (17.5, 0.004) if flt == "ZTF_r" else (17.9, 0.005)
        ref_flux = 10 ** (0.4 * (zp - refmag))
        diff = ref_flux * 0.3 * np.sin(2 * np.pi * jd[i] / 1.93) + RNG.normal(0, 40)
        unc = 40.0
        procstatus = "0" if RNG.random() < 0.92 else "56"
        info = 0 if RNG.random() < 0.95 else 33554432
        fields = [str(i), "600", "5", "2", flt, str(1000000 + i), str(info), "2.1", "190.0", "15.8",
                  "26.0", "5e-05", "0.04", "0.1", "8e-05", "200", "30.", "0.07", "0.06", "20.5",
                  f"{zp:.4f}", "1", f"{jd[i]:.7f}", "600120218", f"{diff:.6f}", f"{unc:.6f}",
                  f"{diff / unc:.4f}", "1.01", f"{diff:.4f}", "60.0", "1.0", "1.04", "0.31",
                  f"{refmag}", f"{refunc}", "0.9", "0.05", "2458154.95", "2458633.67", procstatus]
        lines.append(" " + " ".join(fields))
        # The expected figures from the numbers as written.
        zp, diff, unc, jd_written = float(fields[20]), float(fields[24]), float(fields[25]), float(fields[22])
        ref_flux = 10 ** (0.4 * (zp - refmag))
        if procstatus == "0" and info == 0:
            total = diff + ref_flux
            ref_flux_unc = refunc * ref_flux / MAG_PER_RELATIVE_FLUX
            total_unc = np.sqrt(unc ** 2 - ref_flux_unc ** 2)
            if total / total_unc > 3:
                counts[flt] += 1
                if flt not in first:
                    first[flt] = (jd_written, zp - 2.5 * np.log10(total), MAG_PER_RELATIVE_FLUX * total_unc / total)
    lines.append("# ------------------------------END------------------------------------")
    name = "ztf_forced/forcedphotometry_req00012345_lc.txt"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, counts["ZTF_r"], "ZTF_r", "time=jd, value=forcediffimflux, error=forcediffimfluxunc",
           first=first["ZTF_r"])


# --------------------------------------------------------------------------
# AAVSO


AAVSO_NAMES = ["JD", "Magnitude", "Uncertainty", "HQuncertainty", "Band", "Observer Code",
               "Comment Code(s)", "Comp Star 1", "Comp Star 2", "Charts", "Comments", "Transfomed",
               "Airmass", "Validation Flag", "Cmag", "Kmag", "HJD", "Star Name",
               "Observer Affiliation", "Measurement Method", "Grouping Method", "ADS Reference",
               "Digitizer", "Credit"]


def aavso_rows(n):
    rows, counts = [], {}
    jd = 2458000.0 + np.sort(RNG.uniform(0, 600, n))
    for i in range(n):
        band = str(RNG.choice(["V", "V", "V", "V", "Vis.", "Vis.", "B", "TG"]))
        mag = 9.5 + 0.6 * np.sin(2 * np.pi * jd[i] / 41.0) + RNG.normal(0, 0.05)
        fainter = RNG.random() < 0.06
        flag = str(RNG.choice(["Z", "Z", "V", "V", "V", "D"]))
        method = "STD" if RNG.random() < 0.9 or band == "Vis." else "DIFF"
        uncertainty = "" if band == "Vis." else f"{RNG.uniform(0.005, 0.03):.3f}"
        rows.append([f"{jd[i]:.5f}", ("<" if fainter else "") + f"{mag:.3f}", uncertainty, "", band,
                     str(RNG.choice(["ABC", "XYZ", "QRS"])), "", "110", "123", "X12345AB",
                     "", "0" if method == "DIFF" else "1", "", flag, "", "", "", "R CAR", "AAVSO",
                     method, "", "", "", ""])
        key = band if method == "STD" else f"{band} (DIFF)"
        if not fainter and flag != "D":
            counts[key] = counts.get(key, 0) + 1
    return rows, counts


def aavso():
    # The AAVSO International Database download, tab-delimited with its
    # header (24 fields, "Credit" last as current downloads write it).
    rows, counts = aavso_rows(150)
    name = "aavso/aavsodata_tab_with_header.txt"
    open(path(name), "w").write("\n".join("\t".join(r) for r in [AAVSO_NAMES] + rows) + "\n")
    expect(name, counts["V"], "V", "time=JD, value=Magnitude, error=Uncertainty")
    expect(name, counts["Vis."], "Vis.", "value=Magnitude", "band:Vis.")
    # The same download without its header line.
    rows, counts = aavso_rows(120)
    name = "aavso/aavsodata_tab_no_header.txt"
    open(path(name), "w").write("\n".join("\t".join(r) for r in rows) + "\n")
    expect(name, counts["V"], "V", "AAVSO download layout")

    # AAVSO's web service (VSX) exports observations with camel-case names,
    # valFlag and fainterThan (1: a "fainter than" limit) and mType.
    n = 100
    jd = 2459100.0 + np.sort(RNG.uniform(0, 300, n))
    names = ["obsID", "JD", "mag", "uncert", "band", "by", "comCode", "compStar1", "compStar2",
             "charts", "comments", "transformed", "airmass", "valFlag", "cMag", "kMag", "HJD",
             "starName", "obsAffil", "mType", "fainterThan", "obsType"]
    lines, counts = [",".join(names)], {}
    for i in range(n):
        band = str(RNG.choice(["V", "V", "V", "Vis.", "I"]))
        fainter = int(RNG.random() < 0.07)
        flag = str(RNG.choice(["Z", "V", "V", "D"])) if RNG.random() < 0.3 else "V"
        mtype = "STD" if RNG.random() < 0.92 else "DIFF"
        uncert = "" if band == "Vis." else f"{RNG.uniform(0.01, 0.04):.3f}"
        mag = 11.0 + 0.4 * np.sin(2 * np.pi * jd[i] / 17.0)
        lines.append(",".join([str(500000 + i), f"{jd[i]:.5f}", f"{mag:.3f}", uncert, band, "ABC",
                               "", "110", "", "X1", "", "0", "", flag, "", "", "", "T UMA",
                               "AAVSO", mtype, str(fainter), "CCD" if band != "Vis." else "Visual"]))
        key = band if mtype == "STD" else f"{band} (DIFF)"
        if not fainter and flag != "D":
            counts[key] = counts.get(key, 0) + 1
    name = "aavso/aavso_vsx_observations.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, counts["V"], "V", "time=JD, value=mag, error=uncert")


# --------------------------------------------------------------------------
# OGLE


def ogle():
    # OGLE's Early Warning System phot.dat: HJD, I magnitude, its error,
    # seeing and sky level, blank separated (five numbers a line).
    n = 150
    hjd = 2457000.0 + np.sort(RNG.uniform(0, 900, n))
    lines = []
    for i in range(n):
        mag = 17.2 - 1.5 * np.exp(-((hjd[i] - 2457400.0) / 20.0) ** 2) + RNG.normal(0, 0.01)
        lines.append(f"{hjd[i]:.5f} {mag:.3f} {0.01 + 0.002 * RNG.random():.3f} "
                     f"{RNG.uniform(4, 9):.2f} {RNG.uniform(500, 2000):.1f}")
    name = "ogle/phot.dat"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, n, "", "time=1, value=2, error=3")
    # OGLE-IV variable-star photometry: HJD, magnitude, error.
    lines = [f"{2455260.0 + 0.7 * i + 0.1 * RNG.random():.5f} "
             f"{15.9 + 0.3 * np.sin(i):.3f} {0.006:.3f}" for i in range(110)]
    name = "ogle/OGLE-BLG-RRLYR-00001.dat"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, 110, "", "plain")


# --------------------------------------------------------------------------
# ASAS-3 and ASAS-SN


def asas3():
    # ASAS-3 light curve (Pojmanski 2002; the catalogue's "lc" download):
    # "#" header lines per data set, then HJD-2450000, MAG_0..MAG_4,
    # MER_0..MER_4, GRADE and FRAME. Grade D is "probably useless", 29.999
    # an aperture not measured; aperture 2 is the quietest here.
    header = "#      HJD      MAG_0  MAG_1  MAG_2  MAG_3  MAG_4  MER_0  MER_1  MER_2  MER_3  MER_4 GRADE FRAME"
    lines, good = [], 0
    noise = [0.06, 0.04, 0.02, 0.03, 0.05]
    for dataset in (1, 2):
        lines += [f"#ndata= 80", f"#dataset= {dataset}", "#desig= 182306-4925.8",
                  "#cra=  18:23:06", "#cdec= -49:25:48", "#class= 0", header]
        for i in range(80):
            hjd = 1868.8 + 3.1 * (i + 80 * (dataset - 1)) + RNG.uniform(0, 0.3)
            base = 10.5 + 0.03 * np.sin(2 * np.pi * hjd / 5.3)
            mags = [base + RNG.normal(0, s) for s in noise]
            grade = str(RNG.choice(list("AAAAABBCD")))
            if grade == "C":
                mags[int(RNG.choice([0, 4]))] = 29.999
            if RNG.random() < 0.03:
                mags[2] = 29.999
            lines.append(f"{hjd:11.5f} " + " ".join(f"{m:6.3f}" for m in mags) + " " +
                         " ".join(f"{s:6.3f}" for s in noise) + f" {grade} {12000 + i}")
            good += int(grade != "D" and mags[2] < 29.999)
    name = "asas3/182306-4925.8.lc"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, good, "MAG_2", "time=HJD, value=MAG_2, error=MER_2")


def asassn():
    # ASAS-SN Sky Patrol v2 (its Python client's light-curve table):
    # jd, flux, flux_err, mag, mag_err, limit, fwhm, image_id, camera,
    # quality (G good, B bad), phot_filter (V or g).
    n = 140
    jd = 2457000.0 + np.sort(RNG.uniform(0, 2000, n))
    lines = ["asas_sn_id,jd,flux,flux_err,mag,mag_err,limit,fwhm,image_id,camera,quality,phot_filter"]
    counts = {"V": 0, "g": 0}
    for i in range(n):
        f = "g" if jd[i] > 2458000 or RNG.random() < 0.2 else "V"
        q = "G" if RNG.random() < 0.9 else "B"
        mag = 13.1 + 0.2 * np.sin(2 * np.pi * jd[i] / 3.3)
        lines.append(f"661425039820,{jd[i]:.6f},{10 ** (-0.4 * (mag - 16.4)):.4f},0.05,{mag:.4f},0.012,"
                     f"17.1,1.5,ba{1000 + i},b{i % 4},{q},{f}")
        counts[f] += int(q == "G")
    name = "asassn/asassn_skypatrol2_two_filters.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=jd, value=mag, error=mag_err")


# --------------------------------------------------------------------------
# Layouts added after the perturbation probes (README: "What each file follows")


def k2sff_text():
    # K2SFF's text light curves beside its FITS files (Vanderburg & Johnson
    # 2014; MAST HLSP page archive.stsci.edu/prepds/k2sff/: "BJD - 2454833"
    # and "Corrected Flux", comma-separated, one header line): the time is
    # named with its offset and there is no error column.
    n = 150
    t = 2750.0 + 0.0204 * np.arange(n)
    flux = 1.0 + 0.002 * np.sin(2 * np.pi * t / 0.61) + RNG.normal(0, 3e-4, n)
    lines = ["BJD - 2454833,Corrected Flux"] + [f"{a:.6f},{b:.7f}" for a, b in zip(t, flux)]
    name = "k2_hlsp/hlsp_k2sff_k2_lightcurve_211000001-c05_kepler_v1_llc-default-aper.txt"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, n, "", "time=BJD - 2454833, value=Corrected Flux")


def atlas_server_older():
    # The forced-photometry server's first output layout, 19 columns (the
    # server's own results page, github.com/lukeshingles/atlasserver,
    # forcephot/templates/resultdesc.html): MJD m dm uJy duJy F err chi/N RA
    # Dec x y maj min phi apfit Sky ZP Obs, here in reduced-image mode (the
    # target image instead of the difference: fluxes of the star itself,
    # positive), so only err and the flux sign leave rows out.
    n = 70
    mjd = 57800.0 + np.sort(RNG.uniform(0, 500, n))
    lines, counts = ["###MJD m dm uJy duJy F err chi/N RA Dec x y maj min phi apfit Sky ZP Obs"], {"o": 0, "c": 0}
    for i in range(n):
        f = "c" if RNG.random() < 0.55 else "o"
        ujy = 2000 + 400 * np.sin(2 * np.pi * mjd[i] / 2.7) + RNG.normal(0, 40)
        err = 0 if RNG.random() < 0.9 else 5
        m = 23.9 - 2.5 * np.log10(ujy)
        lines.append(f"{mjd[i]:.6f} {m:.3f} {1.0857 * 40 / ujy:.3f} {ujy:.0f} 40 {f} {err} 1.02 "
                     f"210.91000 54.31000 4012.1 2211.7 2.05 1.98 12.0 -0.301 19.71 22.03 "
                     f"01a{int(mjd[i])}o{RNG.integers(1, 9999):04d}{f}")
        counts[f] += int(err == 0)
    name = "atlas/job_forced_photometry_reduced_19_columns.txt"
    open(path(name), "w").write("\n".join(lines) + "\n")
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=MJD, value=m, error=dm")


def r_row_names():
    # A table saved from R with write.table(..., sep=",") or write.csv: the
    # row names are the first field of every row, and write.table's header
    # has no name for them (R documentation, ?write.table: "col.names = NA"
    # adds a blank one, the default does not); read.table then takes the
    # first column for row names. Here a Catalina light curve so saved.
    n = 60
    mjd = 53500.0 + np.sort(RNG.uniform(0, 3000, n))
    mag = 15.2 + 0.3 * np.sin(2 * np.pi * mjd / 0.5437) + RNG.normal(0, 0.03, n)
    lines = ['"MasterID","Mag","Magerr","RA","Dec","MJD","Blend"']
    lines += [f'"{i + 1}",1109065039382,{m:.2f},0.05,150.12345,20.54321,{t:.5f},0'
              for i, (m, t) in enumerate(zip(mag, mjd))]
    name = "catalina/catalina_saved_by_r_write_table.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, n, "", "time=MJD, value=Mag, error=Magerr")


def everest_csv():
    # EVEREST's CSV light curves (its code's CSVHEADER, documented at
    # luger.dev/everest/k2_init.html, written with numpy.savetxt so every
    # description line starts with "# "): no line of column names, only the
    # description "TIME (float): ...", "CADN (int): ...", FCOR, FLUX, FRAW,
    # "MASK (int): 0 = Data point was included in the model calculation,
    # 1 NaN raw flux, 2 flagged QUALITY bit, 3 outlier"; rows TIME, CADN,
    # FCOR, FLUX, FRAW, MASK. Read by position, the value would be CADN.
    n = 160
    header = ("EPIC 201234571\n==============\n\n\nDESCRIPTION\n-----------\n"
              "De-trended light curve generated by the Everest pipeline.\n\n\n"
              "COLUMN INFO\n-----------\nTIME (float): Time (BJD - 2454833)\n"
              "CADN (int): Cadence number\nFCOR (float): CBV-corrected, PLD de-trended flux\n"
              "FLUX (float): PLD de-trended flux\nFRAW (float): Raw simple aperture photometry flux\n"
              "MASK (int): 0 = Data point was included in the model\n"
              "            calculation\n           1 = Data point was NaN in the raw flux\n"
              "           2 = Data point has a flagged QUALITY bit\n"
              "           3 = Data point was identified as an outlier\n")
    lines = ["# " + h if h else "#" for h in header.rstrip("\n").split("\n")]
    good = 0
    for i in range(n):
        t = 2060.3 + 0.0204 * i
        flux = 5.0e4 * (1 + 0.003 * np.sin(2 * np.pi * t / 1.37)) + RNG.normal(0, 20)
        mask = int(RNG.choice([0] * 12 + [1, 2, 3]))
        lines.append(f"{t:.6f},{100000 + i},{flux * 1.0001:.6f},{flux:.6f},{flux * 1.02:.6f},{mask}")
        good += int(mask == 0)
    name = "k2_hlsp/hlsp_everest_k2_llc_201234571-c03_kepler_v2.0_lc.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, good, "", "time=TIME, value=FLUX")


# --------------------------------------------------------------------------
# Layouts of a third round: Gaia DataLink text and VOTable serialisations,
# Pan-STARRS DR2 detections, ZTF light curves as CSV, tables written by
# lightkurve and astropy. A generator of their own, so that the files above
# stay byte for byte as they were.

RNG3 = np.random.default_rng(20261210)
GAIA_NAMES = ["source_id", "transit_id", "band", "time", "mag", "flux", "flux_error",
              "flux_over_error", "rejected_by_photometry", "rejected_by_variability",
              "other_flags", "solution_id"]


def gaia_rows():
    # Gaia DR3 epoch photometry, INDIVIDUAL layout (one row per transit and
    # band; Gaia DR3 documentation, section 20 "Datamodel description",
    # EpochPhotometry; DataLink retrieval type EPOCH_PHOTOMETRY): time is
    # BJD(TCB) - 2455197.5, the magnitude has no error of its own (the flux's
    # signal-to-noise ratio flux_over_error gives it), both reject flags are
    # booleans, a transit without a measurement has an empty time and mag.
    n_transits = 60
    t0 = 1700.0 + np.sort(RNG3.uniform(0, 950, n_transits))
    rows, counts, first = [], {"G": 0, "BP": 0, "RP": 0}, {}
    for k, t in enumerate(t0):
        for band, offset, base in (("G", 0.0, 13.10), ("BP", 0.9e-4, 13.45), ("RP", 1.8e-4, 12.60)):
            tb = t + offset
            mag = base + 0.25 * np.sin(2 * np.pi * tb / 0.61) + RNG3.normal(0, 0.004)
            flux = 10 ** (-0.4 * (mag - 25.7))
            foe = float(RNG3.uniform(300, 900))
            missing = RNG3.random() < 0.05
            rp = bool(RNG3.random() < 0.06)
            rv = bool(RNG3.random() < 0.06)
            rows.append({"source_id": 4111834567779557376, "transit_id": 17000000000000 + 1000 * k,
                         "band": band, "time": None if missing else float(f"{tb:.10f}"),
                         "mag": None if missing else float(f"{mag:.8f}"),
                         "flux": None if missing else float(f"{flux:.4f}"),
                         "flux_error": None if missing else float(f"{flux / foe:.4f}"),
                         "flux_over_error": None if missing else float(f"{foe:.4f}"),
                         "rejected_by_photometry": rp, "rejected_by_variability": rv,
                         "other_flags": 4097, "solution_id": 375316653866487564})
            if not (missing or rp or rv):
                counts[band] += 1
                if band not in first:
                    r = rows[-1]
                    first[band] = (r["time"], r["mag"], MAG_PER_RELATIVE_FLUX / r["flux_over_error"])
    return rows, counts, first


def gaia_text_products():
    rows, counts, first = gaia_rows()
    band = max(counts, key=counts.get)
    # CSV as the archive writes it: booleans false/true, nulls empty.
    def cell(v):
        if v is None:
            return ""
        if isinstance(v, bool):
            return "true" if v else "false"
        return repr(v) if isinstance(v, float) else str(v)
    name = "gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 4111834567779557376.csv"
    lines = [",".join(GAIA_NAMES)] + [",".join(cell(r[c]) for c in GAIA_NAMES) for r in rows]
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, counts[band], band, "time=time, value=mag", first=first[band], kind="mag")
    expect(name, counts["BP"], "BP", "value=mag", options="band:BP", first=first["BP"])
    # The same table through astropy's writers: ECSV (its YAML header with
    # units and types, blank-separated rows, "nan" for floats without a
    # value) and a VOTable in the TABLEDATA serialisation (Gaia's
    # "votable_plain"), with the units and UCDs of the Gaia data model.
    from astropy.table import MaskedColumn, Table
    table = Table()
    for c in GAIA_NAMES:
        values = [r[c] for r in rows]
        if c in ("time", "mag", "flux", "flux_error", "flux_over_error"):
            table[c] = np.array([np.nan if v is None else v for v in values])
        else:
            table[c] = values
    table["time"].unit = "d"
    table["mag"].unit = "mag"
    table["flux"].unit = "electron / s"
    table["flux_error"].unit = "electron / s"
    name = "gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 4111834567779557376.ecsv"
    table.write(path(name), format="ascii.ecsv", overwrite=True)
    expect(name, counts[band], band, "time=time, value=mag", first=first[band], kind="mag")
    name = "gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 4111834567779557376.xml"
    vot = table.copy()
    for c in ("time", "mag", "flux", "flux_error", "flux_over_error"):
        vot[c] = MaskedColumn(vot[c], mask=np.isnan(vot[c]), unit=vot[c].unit)
    vot.write(path(name), format="votable", tabledata_format="tabledata", overwrite=True)
    expect(name, counts[band], band, "time=time, value=mag", first=first[band], kind="mag")
    # The BINARY2 serialisation (VOTable 1.3 and later; the default of
    # Gaia's DataLink "votable" and of astropy's writer for binary output):
    # rows base64-encoded, null flags before each row.
    name = "gaia_dr3/EPOCH_PHOTOMETRY-Gaia DR3 4111834567779557376-binary2.xml"
    vot.write(path(name), format="votable", tabledata_format="binary2", overwrite=True)
    expect(name, counts[band], band, "time=time, value=mag", first=first[band], kind="mag")


# PS1 DetectionFlags (MAST's PS1 metadata tables, after the PSPS schema):
# FAIL 0x8 (fit failed), SATSTAR 0x80, BADPSF 0x400, DEFECT 0x800,
# SATURATED 0x1000; POOR 0x10 and PSFSTAR 0x40 describe a usable fit.
PS1_DISTRUSTED = 0x8 | 0x80 | 0x400 | 0x800 | 0x1000


def panstarrs_detections():
    # Pan-STARRS1 DR2 Detection table as MAST's catalogue API returns it in
    # CSV (the columns MAST's own light-curve example asks for: objID,
    # detectID, filterID, obsTime, ra, dec, psfFlux, psfFluxErr, psfMajorFWHM,
    # psfMinorFWHM, psfQfPerfect, apFlux, apFluxErr, infoFlag, infoFlag2,
    # infoFlag3). filterID 1..5 is g, r, i, z, y; obsTime is the MJD of the
    # exposure; psfFlux is in janskys (AB magnitude -2.5 log10(psfFlux) +
    # 8.90); -999 is the archive's null value; infoFlag bits as above.
    n = 110
    mjd = 55200.0 + np.sort(RNG3.uniform(0, 1500, n))
    names = ["objID", "detectID", "filterID", "obsTime", "ra", "dec", "psfFlux", "psfFluxErr",
             "psfMajorFWHM", "psfMinorFWHM", "psfQfPerfect", "apFlux", "apFluxErr", "infoFlag",
             "infoFlag2", "infoFlag3"]
    lines, counts, first = [",".join(names)], {b: 0 for b in "grizy"}, {}
    for i in range(n):
        fid = int(RNG3.choice([1, 2, 2, 3, 3, 3, 4, 5]))
        mag = 16.2 + 0.2 * np.sin(2 * np.pi * mjd[i] / 0.83) + RNG3.normal(0, 0.01)
        flux = 10 ** (-0.4 * (mag - 8.90))
        null = RNG3.random() < 0.07
        info = int(RNG3.choice([0, 0, 0, 8, 16, 64, 128, 4096]))
        psf, err = (-999.0, -999.0) if null else (float(f"{flux:.6e}"), float(f"{flux * 0.01:.6e}"))
        lines.append(f"173291234567890123,{1000000000000 + i},{fid},{mjd[i]:.8f},123.4567,"
                     f"34.5678,{psf!r},{err!r},1.21,1.13,0.998,{flux * 1.02:.6e},"
                     f"{flux * 0.012:.6e},{info},0,0")
        if not null and not info & PS1_DISTRUSTED:
            b = "grizy"[fid - 1]
            counts[b] += 1
            if b not in first:
                first[b] = (float(f"{mjd[i]:.8f}"), psf, err)
    name = "panstarrs/ps1_dr2_detections_173291234567890123.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=obsTime, value=psfFlux, error=psfFluxErr",
           first=first[band], kind="flux")
    expect(name, counts["g"], "g", "value=psfFlux", options="band:g")


ZTF_LC_NAMES = ["oid", "expid", "hjd", "mjd", "mag", "magerr", "catflags", "filtercode", "ra",
                "dec", "chi", "sharp", "filefracday", "field", "ccdid", "qid", "limitmag",
                "magzp", "magzprms", "clrcoeff", "clrcounc", "exptime", "airmass", "programid"]


def ztf_lc_csv():
    # ZTF light curves from IRSA's light-curve API with FORMAT=CSV (the
    # IPAC table's columns, comma-separated, one header line; ZTF Science
    # Data System Explanatory Supplement: catflags 0 is a clean epoch,
    # 32768 marks bad data): two objects, zg and zr, in one file.
    lines, counts = [",".join(ZTF_LC_NAMES)], {"zg": 0, "zr": 0}
    for oid, fc, n in ((683101100012345, "zg", 45), (683201100054321, "zr", 62)):
        mjd = 58300.0 + np.sort(RNG3.uniform(0, 900, n))
        for i in range(n):
            mag = (17.4 if fc == "zg" else 17.0) + 0.3 * np.sin(2 * np.pi * mjd[i] / 2.37)
            flag = int(RNG3.choice([0] * 10 + [32768, 4]))
            lines.append(f"{oid},{int(mjd[i] * 1000)},{mjd[i] + 2400000.5 + 0.003:.7f},{mjd[i]:.7f},"
                         f"{mag + RNG3.normal(0, 0.02):.6f},0.021,{flag},{fc},281.2,20.1,1.1,0.01,"
                         f"{int(mjd[i])},683,{1 + i % 16},{1 + i % 4},20.5,26.2,0.03,-0.05,1e-05,30,"
                         f"1.2,1")
            counts[fc] += int(flag == 0)
    name = "ztf/ztf_irsa_lc_api_two_filters.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    band = max(counts, key=counts.get)
    expect(name, counts[band], band, "time=hjd, value=mag, error=magerr", kind="mag")


def lightkurve_written():
    # Files that lightkurve writes (github.com/lightkurve/lightkurve, version
    # 1, src/lightkurve/lightcurve.py): to_fits() makes a primary header and
    # a table LIGHTCURVE of TIME (unit: the time format, "btjd"), FLUX and
    # FLUX_ERR (unit "counts"), CADENCENO and a SAP_QUALITY of zeros;
    # to_csv() is pandas' to_csv of to_pandas(), which writes the row index
    # first, under an empty name: ",time,flux,flux_err".
    n = 240
    t = 1410.9 + 0.0208333 * np.arange(n)
    flux = 1.0 + 0.004 * np.sin(2 * np.pi * t / 0.77) + RNG3.normal(0, 4e-4, n)
    flux[RNG3.choice(n, 9, replace=False)] = np.nan
    err = np.full(n, 4e-4)
    good = int(np.isfinite(flux).sum())
    name = "lightkurve/tess_tic0123456792_s0010_lightkurve_to_fits.fits"
    write_fits(name, [("LIGHTCURVE", [col("TIME", "D", t, "btjd"), col("FLUX", "E", flux, "counts"),
                                      col("FLUX_ERR", "E", err, "counts"),
                                      col("CADENCENO", "J", 30000 + np.arange(n)),
                                      col("SAP_QUALITY", "J", np.zeros(n, dtype=np.int32))], [])],
               primary_cards=[("ORIGIN", "Unofficial data product"),
                              ("CREATOR", "lightkurve.LightCurve.to_fits()"), ("TELESCOP", "TESS")])
    expect(name, good, "", "time=TIME, value=FLUX, error=FLUX_ERR", kind="flux")
    lines = [",time,flux,flux_err"]
    for i in range(n):
        lines.append(f"{i},{t[i]!r},{'' if np.isnan(flux[i]) else repr(float(flux[i]))},{err[i]!r}")
    name = "lightkurve/tess_tic0123456792_s0010_lightkurve_to_csv.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, good, "", "time=time, value=flux, error=flux_err", kind="flux")


def astropy_written():
    # Tables written by astropy (docs.astropy.org, "ECSV format" and the
    # FITS table writer): an ECSV light curve whose columns carry their units
    # in the YAML header (time in days as BJD - 2450000, fluxes in mJy) and a
    # FITS table of the same columns with TUNITn.
    from astropy.table import Table
    n = 130
    t = 8000.0 + np.sort(RNG3.uniform(0, 60, n))
    flux = 12.0 * (1 + 0.05 * np.sin(2 * np.pi * t / 3.1)) + RNG3.normal(0, 0.05, n)
    table = Table()
    table["bjd"] = t
    table["bjd"].unit = "d"
    table["flux"] = flux
    table["flux"].unit = "mJy"
    table["flux_err"] = np.full(n, 0.05)
    table["flux_err"].unit = "mJy"
    name = "astropy/light_curve_written_by_astropy.ecsv"
    table.write(path(name), format="ascii.ecsv", overwrite=True)
    expect(name, n, "", "time=bjd, value=flux, error=flux_err", kind="flux")
    name = "astropy/light_curve_written_by_astropy.fits"
    table.write(path(name), format="fits", overwrite=True)
    expect(name, n, "", "time=bjd, value=flux, error=flux_err", kind="flux")
    # Time in seconds, stated only in the ECSV header (unit: s), and an
    # astropy TimeSeries, whose Time column ECSV writes as ISO dates
    # (its YAML header: __serialized_columns__, format isot).
    seconds = Table()
    seconds["time"] = np.sort(RNG3.uniform(0, 30 * 86400.0, 90)).round(1)
    seconds["time"].unit = "s"
    seconds["flux"] = (1 + 0.01 * np.sin(2 * np.pi * seconds["time"] / 86400.0 / 1.7)).round(6)
    seconds["flux_err"] = 0.001
    name = "astropy/light_curve_time_in_seconds.ecsv"
    seconds.write(path(name), format="ascii.ecsv", overwrite=True)
    expect(name, 90, "", "converted to days",
           first=(seconds["time"][0] / 86400.0, seconds["flux"][0], 0.001))
    from astropy.timeseries import TimeSeries
    import astropy.units as u
    series = TimeSeries(time_start="2019-03-01T00:00:00", time_delta=10 * u.min, n_samples=40)
    series["flux"] = np.round(1 + 0.01 * np.sin(np.arange(40) / 3.0), 6)
    name = "astropy/timeseries_written_by_astropy.ecsv"
    series.write(path(name), format="ascii.ecsv", overwrite=True)
    expect(name, -1, "", "holds calendar dates")
    # A Time column written to FITS by astropy (its "Time columns" FITS
    # convention, after the FITS time standard of Rots et al. 2015): two
    # doubles a row, jd1 and jd2, header "JDREF = 0 / Time columns are jd =
    # jd1 + jd2", the scale in TCTYPn. Read as one Julian date.
    from astropy.time import Time
    stamped = Table()
    stamped["time"] = Time(2459100.5 + np.sort(RNG3.uniform(0, 20, 70)), format="jd", scale="tdb")
    stamped["flux"] = np.round(1 + 0.02 * np.sin(2 * np.pi * stamped["time"].jd / 2.3), 6)
    stamped["flux_err"] = 0.002
    name = "astropy/time_column_written_by_astropy.fits"
    stamped.write(path(name), format="fits", overwrite=True)
    with fits.open(path(name)) as written:
        jd1, jd2 = written[1].data["time"][0]
    expect(name, 70, "", "time=time, value=flux, error=flux_err",
           first=(float(jd1) + float(jd2), stamped["flux"][0], 0.002), kind="flux")


def superwasp():
    # SuperWASP DR1 light curves (the WASP public archive's version log,
    # wasp.le.ac.uk/public: columns TMID, FLUX2, FLUX2_ERR, TAMFLUX2,
    # TAMFLUX2_ERR, IMAGEID, CCDX, CCDY, FLAG; the NASA Exoplanet Archive's
    # "SuperWASP Processing": TMID in seconds since a reference HJD, FLUX2
    # raw and TAMFLUX2 SYSREM-corrected fluxes in micro-Vegas, magnitude
    # 15 - 2.5 log10(flux)). The table's extension name and the meaning of
    # FLAG are not described there: no EXTNAME, FLAG 0, nothing left out by it.
    n = 260
    tmid = np.sort(RNG3.uniform(0, 120 * 86400.0, n)).round(0)
    mag = 11.8 + 0.15 * np.sin(2 * np.pi * tmid / 86400.0 / 0.917) + RNG3.normal(0, 0.01, n)
    tam = 10 ** (-0.4 * (mag - 15.0))
    tam[RNG3.choice(n, 7, replace=False)] = np.nan
    err = tam * 0.01
    raw = tam * 1.03
    cols = [col("TMID", "J", tmid.astype(np.int32)), col("FLUX2", "E", raw),
            col("FLUX2_ERR", "E", raw * 0.01), col("TAMFLUX2", "E", tam),
            col("TAMFLUX2_ERR", "E", err), col("IMAGEID", "K", 200400000000 + np.arange(n)),
            col("CCDX", "E", np.full(n, 1021.5)), col("CCDY", "E", np.full(n, 811.2)),
            col("FLAG", "J", np.zeros(n, dtype=np.int32))]
    name = "superwasp/1SWASP_J123456.78+123456.7.fits"
    write_fits(name, [("", cols, [])], primary_cards=[("OBJNAME", "1SWASP J123456.78+123456.7")])
    good = np.isfinite(tam)
    k = int(np.argmax(good))
    expect(name, int(good.sum()), "", "time=TMID, value=TAMFLUX2, error=TAMFLUX2_ERR",
           first=(tmid[k] / 86400.0, float(np.float32(tam[k])), float(np.float32(err[k]))), kind="flux")
    # As the archive may ship it, gzip-compressed: the same reading.
    expect(compress(name, "gz"), int(good.sum()), "", "time=TMID, value=TAMFLUX2",
           first=(tmid[k] / 86400.0, float(np.float32(tam[k])), float(np.float32(err[k]))), kind="flux")



def corot():
    # CoRoT N2 light curves as the CoRoT Legacy Book describes the archive's
    # files (Chaintreuil et al. 2016, in "The CoRoT Legacy Book", EDP, as the
    # documentation of a public R reader of these files, read_corot, quotes
    # it): EN2_STAR_CHR (exoplanet field, colour channels) with a
    # first table DATE, DATETT, DATEBARTT, STATUS, REDFLUX, REDFLUXDEV,
    # GREENFLUX, GREENFLUXDEV, BLUEFLUX, BLUEFLUXDEV, WHITEFLUX, BG and a
    # second, gap-filled one (DATETT, DATEBARTT, WHITEFLUXFIL, STATUSFIL,
    # TEXP); AN2_STAR (bright stars) with DATETT, RAWFLUX, RAWFLUXDEV,
    # RAWSTATUS, BG first. STATUS 0 is a good point. The dates are written
    # here as full Julian dates and the tables have no EXTNAME (assumptions:
    # neither is described there; the dates are read as stored either way).
    n = 300
    jd = 2454237.25 + 512.0 / 86400.0 * np.arange(n)
    white = 2.0e5 * (1 + 0.003 * np.sin(2 * np.pi * jd / 0.37)) + RNG3.normal(0, 60, n)
    status = np.where(RNG3.random(n) < 0.08, 8, 0).astype(np.int32)
    dates = np.array([f"2007-05-16T{(i * 512 // 3600) % 24:02d}:{(i * 512 // 60) % 60:02d}:00" for i in range(n)])
    first = [col("DATE", "19A", dates), col("DATETT", "D", jd), col("DATEBARTT", "D", jd + 0.0031),
             col("STATUS", "J", status), col("REDFLUX", "E", white * 0.5),
             col("REDFLUXDEV", "E", np.full(n, 90.0)), col("GREENFLUX", "E", white * 0.2),
             col("GREENFLUXDEV", "E", np.full(n, 60.0)), col("BLUEFLUX", "E", white * 0.3),
             col("BLUEFLUXDEV", "E", np.full(n, 70.0)), col("WHITEFLUX", "E", white),
             col("BG", "E", np.full(n, 150.0))]
    filled = [col("DATETT", "D", jd), col("DATEBARTT", "D", jd + 0.0031),
              col("WHITEFLUXFIL", "E", white), col("STATUSFIL", "J", np.zeros(n, dtype=np.int32)),
              col("TEXP", "J", np.full(n, 512, dtype=np.int32))]
    name = "corot/EN2_STAR_CHR_0102890318_20070516T060226_20071015T062306.fits"
    write_fits(name, [("", first, []), ("", filled, [])])
    good = int((status == 0).sum())
    expect(name, good, "", "time=DATEBARTT, value=WHITEFLUX, no error column", kind="flux")
    raw = 8.0e6 * (1 + 0.001 * np.sin(2 * np.pi * jd / 0.21)) + RNG3.normal(0, 300, n)
    rawstatus = np.where(RNG3.random(n) < 0.05, 2, 0).astype(np.int32)
    bright = [col("DATETT", "D", jd), col("RAWFLUX", "E", raw), col("RAWFLUXDEV", "E", np.full(n, 400.0)),
              col("RAWSTATUS", "J", rawstatus), col("BG", "E", np.full(n, 900.0))]
    bar = [col("DATEBARTT", "D", jd + 0.0031), col("FLUXBAR", "E", raw),
           col("FLUXDEVBAR", "E", np.full(n, 400.0)), col("STATUSBAR", "J", np.zeros(n, dtype=np.int32))]
    name = "corot/AN2_STAR_0102322546_20070516T060050_20071015T062000.fits"
    write_fits(name, [("", bright, []), ("", bar, [])])
    expect(name, int((rawstatus == 0).sum()), "", "time=DATETT, value=RAWFLUX, no error column",
           kind="flux")



def macho():
    # MACHO photometry as the project's archive distributes it (its READ_ME
    # for the per-tile CSV dumps, as kept in github.com/lsst-epo/light_curve_ml,
    # data/macho/READ_ME.txt): one file per field and tile holding all its
    # stars, one line per data point, 39 semicolon-separated fields and no
    # line of names: blank, field id, tile id, star sequence id, observation
    # date (MJD), observation id, side of pier, exposure time, airmass, then
    # red magnitude, red error, normsky, type, crowd, chi2, mpix, cosmicrf,
    # amp, xpix, ypix, avesky, fwhm, tobs, cut, and the same for blue.
    lines, counts = [], {}
    for seqn, n, period in ((2411, 85, 0.5671), (2412, 60, 3.21), (2413, 40, 11.7)):
        mjd = 49000.0 + np.sort(RNG3.uniform(0, 2500, n))
        for i in range(n):
            red = -6.2 + 0.4 * np.sin(2 * np.pi * mjd[i] / period) + RNG3.normal(0, 0.02)
            blue = red + 0.6 + 0.1 * np.sin(2 * np.pi * mjd[i] / period)
            band_fields = lambda m, e: [f"{m:.3f}", f"{e:.3f}", "1.02", "1", "0.1", "1.1", "2",
                                        "0", "0.98", "1021.4", "811.2", "1520", "2.1", "300",
                                        "0"]
            f = ["", "1", "3319", str(seqn), f"{mjd[i]:.6f}", str(100000 + i), "E", "300", "1.21"]
            f += band_fields(red, 0.021) + band_fields(blue, 0.025)
            lines.append(";".join(f))
        counts[f"{seqn}/red"] = n
        counts[f"{seqn}/blue"] = n
    name = "macho/F_1.3319.csv"
    open(path(name), "w").write("\n".join(lines) + "\n")
    expect(name, 85, "2411/red", "time=date, value=red_mag, error=red_error", kind="mag")
    expect(name, 85, "2411/blue", "value=blue_mag, error=blue_error", options="band:2411/blue")
    expect(name, 40, "2413/red", "value=red_mag", options="band:2413/red")


def main():
    for make in (k2varcat, everest, polar, cdips, qlp, eleanor_lite, tglc, tasoc, neowise,
                 allwise_mep, atlas_server, atlas_dph, ztf_forced, aavso, ogle, asas3, asassn,
                 k2sff_text, atlas_server_older, r_row_names, everest_csv, gaia_text_products,
                 panstarrs_detections, ztf_lc_csv, lightkurve_written, astropy_written, superwasp,
                 corot, macho):
        make()
    with open(path("expected_readings.txt"), "w") as out:
        out.write("# file | options | points (-1: refused) | band | phrase of the summary or "
                  "refusal | first observation (time,value,error) [| value kind]\n# written by make_synthetic.py from how each file was made\n")
        for row in EXPECTED:
            out.write(" | ".join(str(x) for x in row) + "\n")


if __name__ == "__main__":
    main()
