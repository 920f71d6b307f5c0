"""Measured B of the library gases, for make_experimental_data.py (development tool only)."""

# Measured second virial coefficients B (cm^3/mol) with the uncertainty given for each value,
# as tabulated in J. H. Dymond, K. N. Marsh, R. C. Wilhoit, K. C. Wong, "Virial Coefficients of
# Pure Gases", Landolt-Boernstein IV/21A (Springer, 2002) and, for the older sets, J. H. Dymond,
# E. B. Smith, "The Virial Coefficients of Pure Gases and Mixtures" (Oxford, 1980).  The values
# were read from the transcription of those tables in the public data set
# github.com/Combustion-Transport-Analysis/Virial-Coefficient-Data-for-Combustion-Species
# (databaseExp.py); each set keeps the citation of its original measurement.
LB2002 = "as tabulated in Dymond, Marsh, Wilhoit, Wong, Landolt-Boernstein IV/21A (2002)"
DS1980 = "as tabulated in Dymond, Smith, The Virial Coefficients of Pure Gases and Mixtures (1980)"

MEASURED = {
    "argon": {
        "gilgen-1994": dict(
            source="R. Gilgen, R. Kleinrahm, W. Wagner, J. Chem. Thermodyn. 26, 383 (1994); " + LB2002,
            method="gas densities (two-sinker densimeter)",
            T=[110, 120, 130, 135, 140, 143, 146, 148, 150.7, 153.0, 155, 157, 160, 165, 170, 175, 180, 190, 200,
               220, 250, 265, 280, 295, 310, 325, 340],
            B=[-152.7, -130.7, -113.0, -105.4, -98.5, -94.7, -91.0, -88.7, -85.7, -83.2, -81.2, -79.2, -76.3,
               -71.8, -67.6, -63.8, -60.2, -53.7, -48.0, -38.5, -27.7, -23.4, -19.6, -16.3, -13.3, -10.7, -8.3],
            u=[1.3, 0.6] + [0.3] * 25),
        "estrada-alexanders-1996": dict(
            source="A. F. Estrada-Alexanders, J. P. M. Trusler, Int. J. Thermophys. 17, 1325 (1996); " + LB2002,
            method="speed of sound",
            T=[110, 120, 130, 140, 145, 150, 155, 160, 175, 190, 205, 220, 250, 295, 355, 400, 450],
            B=[-153.6, -130.9, -112.9, -97.2, -92.2, -86.7, -81.4, -76.4, -63.8, -53.7, -45.5, -38.6, -27.9, -16.4,
               -6.4, -1.1, 3.3],
            u=[0.5, 0.4, 0.4, 0.3, 0.3, 0.2, 0.2, 0.2, 0.2, 0.2, 0.2, 0.2, 0.1, 0.1, 0.1, 0.1, 0.1]),
        "blancett-1970": dict(
            source="A. L. Blancett, K. R. Hall, F. B. Canfield, Physica 47, 75 (1970); " + DS1980,
            method="Burnett",
            T=[223.15, 273.15, 323.15], B=[-37.30, -20.90, -10.82], u=[0.25, 0.09, 0.07]),
        "whalley-1953": dict(
            source="E. Whalley, Y. Lupien, W. G. Schneider, Can. J. Chem. 31, 722 (1953); " + DS1980,
            method="gas densities (3-term fit; standard deviation of B 0.2 as tabulated)",
            T=[273.15, 323.15, 373.15, 423.15, 473.15, 573.15, 673.15, 773.15, 873.15],
            B=[-22.41, -11.20, -4.34, 1.01, 5.28, 10.77, 15.74, 17.76, 19.48], u=[0.2] * 9),
    },
    "nitrogen": {
        "ewing-1992": dict(
            source="M. B. Ewing, J. P. M. Trusler, Physica A 184, 415 (1992); " + LB2002,
            method="speed of sound",
            T=[75, 80, 90, 100, 110, 125, 150, 200, 250, 300, 400, 500, 600, 700],
            B=[-276.1, -243.9, -195.0, -159.8, -133.3, -104.0, -71.5, -35.6, -16.3, -4.5, 9.2, 16.6, 21.1, 24.1],
            u=[0.5, 0.5, 0.4, 0.3, 0.3, 0.4, 0.4, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1]),
        "brugge-1989": dict(
            source="H. B. Brugge, C.-A. Hwang, W. J. Rogers, J. C. Holste, K. R. Hall, W. Lemming, G. J. Esper, "
                   "K. N. Marsh, B. E. Gammon, Physica A 156, 382 (1989); " + LB2002,
            method="Burnett", T=[300.0, 320.0], B=[-4.5, -1.2], u=[0.1, 0.1]),
        "duschek-1988": dict(
            source="W. Duschek, R. Kleinrahm, W. Wagner, M. Jaeschke, J. Chem. Thermodyn. 20, 1069 (1988); " + LB2002,
            method="gas densities",
            T=[273.15, 283.15, 293.15, 303.15, 313.15, 323.15], B=[-10.3, -8.0, -5.9, -4.0, -2.2, -0.6], u=[0.2] * 6),
    },
    "methane": {
        "trusler-1994": dict(
            source="J. P. M. Trusler, J. Chem. Thermodyn. 26, 751 (1994); " + LB2002,
            method="speed of sound",
            T=[200, 225, 240, 250, 275, 300, 325, 350, 375],
            B=[-104.7, -82.20, -71.60, -65.40, -52.40, -41.90, -33.40, -26.40, -20.40],
            u=[0.30, 0.30, 0.28, 0.25, 0.20, 0.20, 0.15, 0.10, 0.10]),
        "haendel-1992": dict(
            source="G. Haendel, R. Kleinrahm, W. Wagner, J. Chem. Thermodyn. 24, 685 (1992); " + LB2002,
            method="gas densities",
            T=[160, 180, 186, 189, 190.55, 193, 196, 200, 207, 220, 240, 260],
            B=[-160.37, -128.45, -120.61, -116.93, -115.08, -112.26, -108.91, -104.66, -97.71, -86.30, -71.76,
               -59.98],
            u=[0.50] + [0.30] * 11),
        "douslin-1964": dict(
            source="D. R. Douslin, R. H. Harrison, R. T. Moore, J. P. McCullough, J. Chem. Eng. Data 9, 358 (1964); "
                   + DS1980,
            method="gas densities (errors in B stated as less than 0.2)",
            T=[273.15, 298.15, 303.15, 323.15, 348.15, 373.15, 398.15, 423.15, 448.15, 473.15, 498.15, 523.15,
               548.15, 573.15, 598.15, 623.15],
            B=[-53.35, -42.82, -40.91, -34.23, -27.06, -21.00, -15.87, -11.40, -7.56, -4.16, -1.16, 1.49, 3.89,
               5.98, 7.88, 9.66],
            u=[0.2] * 16),
    },
    "ethane": {
        "estrada-alexanders-1994": dict(
            source="A. F. Estrada-Alexanders, J. P. M. Trusler, IChemE Research Event, Vol. 2, 670 (1994); " + LB2002,
            method="speed of sound",
            T=[200, 225, 250, 275, 300, 325, 350, 375],
            B=[-419.2, -328.4, -264.9, -218.0, -182.1, -153.8, -130.8, -111.9],
            u=[4.0, 3.0, 2.0, 2.0, 2.0, 2.0, 1.0, 1.0]),
        "mansoorian-1981": dict(
            source="H. Mansoorian, K. R. Hall, J. C. Holste, P. T. Eubank, J. Chem. Thermodyn. 13, 1001 (1981); "
                   + LB2002,
            method="Burnett",
            T=[323.15, 348.15, 373.15, 398.15, 423.15, 448.15, 473.15],
            B=[-156.3, -132.8, -113.5, -97.3, -83.9, -72.0, -61.8], u=[0.1, 0.2, 0.1, 0.1, 0.1, 0.1, 0.1]),
    },
    "carbon dioxide": {
        "holste-1987": dict(
            source="J. C. Holste, K. R. Hall, P. T. Eubank, G. Esper, M. Q. Watson, W. Warowny, D. M. Bailey, "
                   "J. G. Young, M. T. Bellomy, J. Chem. Thermodyn. 19, 1233 (1987); " + LB2002,
            method="Burnett",
            T=[217, 220, 230, 240, 250, 260, 270, 280, 290, 298.15, 300, 320, 323.15, 348.15, 373.15, 398.15, 423.15,
               448.15],
            B=[-255.4, -247.5, -223.7, -202.8, -184.8, -168.9, -155.1, -142.1, -131.6, -123.2, -121.7, -104.7,
               -102.0, -85.2, -71.6, -60.5, -51.3, -43.5],
            u=[1.0, 1.0, 0.5, 0.4, 0.3, 0.3, 0.3, 0.3, 0.3, 0.2, 0.2, 0.2, 0.2, 0.2, 0.2, 0.1, 0.1, 0.1]),
        "duschek-1990": dict(
            source="W. Duschek, R. Kleinrahm, W. Wagner, J. Chem. Thermodyn. 22, 827 (1990); " + LB2002,
            method="gas densities",
            T=[220, 240, 260, 280, 300, 320, 340],
            B=[-247.5, -202.1, -168.3, -142.1, -121.4, -104.5, -90.6], u=[1.0, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3]),
    },
    "water": {
        "kell-1989": dict(
            source="G. S. Kell, G. E. McLaurin, E. Whalley, Proc. R. Soc. London A 425, 49 (1989); " + LB2002,
            method="gas compressibility",
            T=[423.15, 423.15, 448.15, 448.15, 473.15, 473.15, 498.15, 498.15, 523.15, 523.15, 548.15, 548.15,
               573.15, 573.15, 573.15, 598.15, 598.15, 623.15, 623.15, 648.15, 648.15, 673.15, 673.15, 698.15,
               698.15, 723.15, 723.15, 748.15, 748.15, 773.15, 773.15],
            B=[-274.0, -276.0, -240.0, -239.0, -200.9, -200.6, -171.1, -172.0, -149.7, -149.9, -130.8, -130.8,
               -115.8, -115.9, -115.6, -102.0, -102.0, -91.4, -91.2, -82.0, -81.8, -73.4, -73.5, -66.7, -66.4,
               -60.1, -60.0, -54.7, -54.6, -49.9, -49.8],
            u=[6.0, 6.0, 5.0, 5.0, 1.0, 1.0, 0.5, 0.5, 0.2, 0.2, 0.2, 0.2, 0.3, 0.3, 0.3, 0.3, 0.3, 0.2, 0.2, 0.2,
               0.2, 0.2, 0.2, 0.2, 0.2, 0.1, 0.1, 0.1, 0.1, 0.2, 0.2]),
        "eubank-1988": dict(
            source="P. T. Eubank, L. L. Joffrion, M. R. Patel, W. Warowny, J. Chem. Thermodyn. 20, 1009 (1988); "
                   + LB2002,
            method="Burnett",
            T=[348.15, 360.65, 373.15, 385.65, 398.15, 410.65, 423.15, 435.65, 448.15, 460.65, 473.15, 485.65,
               498.15, 523.15, 548.15, 573.15, 598.15, 623.15],
            B=[-590.3, -515.0, -452.7, -400.9, -357.6, -320.9, -289.9, -263.1, -240.0, -220.3, -203.3, -188.0,
               -174.4, -151.8, -133.0, -117.3, -103.4, -97.1],
            u=[15.0, 10.0, 8.0, 6.7, 5.4, 4.4, 3.5, 2.7, 2.1, 1.8, 1.6, 1.4, 1.2, 1.3, 1.0, 0.9, 0.8, 0.7]),
    },
}

# the sets compared with by default (their temperatures are the default scan temperatures)
DEFAULT = {
    "argon": ["estrada-alexanders-1996"],
    "nitrogen": ["ewing-1992"],
    "methane": ["trusler-1994"],
    "ethane": ["estrada-alexanders-1994", "mansoorian-1981"],
    "carbon dioxide": ["holste-1987"],
    "water": ["eubank-1988"],
}
