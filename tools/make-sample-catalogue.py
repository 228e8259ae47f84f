#!/usr/bin/env python3
"""Writes the sample catalogue in data/: list and lookup files in Windows-1251 with CR LF line ends,
and a short test tone that plays without a network."""
import math
import os
import struct
import sys

KEY = b"Qa7mvbxeZpt42Kro"
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "data")

SOURCES = ["*", "Online TV", "Radio", "Webcam"]
COUNTRIES = ["*", "International", "USA", "United Kingdom", "France", "Germany", "Russian Federation"]
GENRES = ["*", "General", "News", "Music", "Culture", "Electronic", "Rock", "Jazz", "Ambient", "Test signal"]

TV, RADIO = 1, 2
INTL, USA, UK, FR, DE, RU = 1, 2, 3, 4, 5, 6
GENERAL, NEWS, MUSIC, CULTURE, ELECTRONIC, ROCK, JAZZ, AMBIENT, TEST = range(1, 10)

SOMA = "https://ice1.somafm.com/{}-128-mp3"
CHANNELS = [
    # format, source, country, genre, name, url, bitrate, comments
    (1, RADIO, RU, TEST, "Тестовый сигнал", "tone.wav", "", "Plays offline: a 440 Hz tone in the program directory"),
    (1, RADIO, USA, AMBIENT, "SomaFM Groove Salad", SOMA.format("groovesalad"), "128", "Ambient beats and grooves"),
    (1, RADIO, USA, AMBIENT, "SomaFM Drone Zone", SOMA.format("dronezone"), "128", "Atmospheric textures"),
    (1, RADIO, USA, AMBIENT, "SomaFM Deep Space One", SOMA.format("deepspaceone"), "128", "Deep ambient electronic"),
    (1, RADIO, USA, AMBIENT, "SomaFM Space Station Soma", SOMA.format("spacestation"), "128", "Spaced-out ambient"),
    (1, RADIO, USA, JAZZ, "SomaFM Secret Agent", SOMA.format("secretagent"), "128", "Lounge and spy jazz"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM DEF CON Radio", SOMA.format("defcon"), "128", "Music for hacking"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM Beat Blender", SOMA.format("beatblender"), "128", "Deep house and downtempo"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM cliqhop idm", SOMA.format("cliqhop"), "128", "Blips and beeps"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM Fluid", SOMA.format("fluid"), "128", "Instrumental hip-hop"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM The Trip", SOMA.format("thetrip"), "128", "Progressive house"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM Dub Step Beyond", SOMA.format("dubstep"), "128", "Dubstep"),
    (1, RADIO, USA, MUSIC, "SomaFM Lush", SOMA.format("lush"), "128", "Sensuous and mellow vocals"),
    (1, RADIO, USA, MUSIC, "SomaFM Indie Pop Rocks", SOMA.format("indiepop"), "128", "Indie pop"),
    (1, RADIO, USA, MUSIC, "SomaFM Folk Forward", SOMA.format("folkfwd"), "128", "Indie folk"),
    (1, RADIO, USA, MUSIC, "SomaFM Underground 80s", SOMA.format("u80s"), "128", "Early 80s UK synthpop"),
    (1, RADIO, USA, MUSIC, "SomaFM Left Coast 70s", SOMA.format("seventies"), "128", "Mellow 70s"),
    (1, RADIO, USA, MUSIC, "SomaFM Covers", SOMA.format("covers"), "128", "Songs you know by artists you don't"),
    (1, RADIO, USA, ROCK, "SomaFM Metal Detector", SOMA.format("metal"), "128", "Heavy metal"),
    (1, RADIO, USA, ROCK, "SomaFM Boot Liquor", SOMA.format("bootliquor"), "128", "Americana roots"),
    (1, RADIO, USA, CULTURE, "SomaFM Mission Control", SOMA.format("missioncontrol"), "128",
     "Ambient with space mission audio"),
    (1, RADIO, USA, ELECTRONIC, "SomaFM Suburbs of Goa", SOMA.format("suburbsofgoa"), "128", "Desi-influenced"),
    (1, RADIO, USA, MUSIC, "SomaFM ThistleRadio", SOMA.format("thistle"), "128", "Celtic roots"),
    (1, RADIO, USA, MUSIC, "Radio Paradise Main Mix", "http://stream.radioparadise.com/mp3-128", "128",
     "Eclectic, listener-supported"),
    (1, RADIO, USA, MUSIC, "Radio Paradise Mellow Mix", "http://stream.radioparadise.com/mellow-128", "128", ""),
    (1, RADIO, USA, ROCK, "Radio Paradise Rock Mix", "http://stream.radioparadise.com/rock-128", "128", ""),
    (1, RADIO, USA, MUSIC, "KEXP 90.3 Seattle", "https://kexp-mp3-128.streamguys1.com/kexp128.mp3", "128",
     "Where the music matters"),
    (1, RADIO, FR, MUSIC, "FIP", "http://icecast.radiofrance.fr/fip-midfi.mp3", "128", "Radio France"),
    (1, RADIO, FR, GENERAL, "France Inter", "http://icecast.radiofrance.fr/franceinter-midfi.mp3", "128",
     "Radio France"),
    (1, RADIO, FR, CULTURE, "France Culture", "http://icecast.radiofrance.fr/franceculture-midfi.mp3", "128",
     "Radio France"),
    (1, RADIO, FR, MUSIC, "France Musique", "http://icecast.radiofrance.fr/francemusique-midfi.mp3", "128",
     "Radio France, classical"),
    (1, RADIO, DE, NEWS, "Deutschlandfunk", "https://st01.sslstream.dlf.de/dlf/01/128/mp3/stream.mp3", "128",
     "Nachrichten und Kultur"),
    (1, TV, DE, NEWS, "DW English", "https://dwamdstream102.akamaized.net/hls/live/2015525/dwstream102/index.m3u8",
     "", "HLS"),
    (1, TV, INTL, NEWS, "Al Jazeera English", "https://live-hls-web-aje.getaj.net/AJE/index.m3u8", "", "HLS"),
]


def ansi(text):
    return text.encode("cp1251")


def scramble(data):
    return bytes((b + KEY[(i + 1) % len(KEY)]) & 0xFF for i, b in enumerate(data))


def write_lines(name, lines):
    with open(os.path.join(OUT, name), "wb") as f:
        for line in lines:
            f.write((line if isinstance(line, bytes) else ansi(line)) + b"\r\n")


def main():
    os.makedirs(OUT, exist_ok=True)
    write_lines("source.dat", SOURCES)
    write_lines("country.dat", COUNTRIES)
    write_lines("genre.dat", GENRES)
    lines = ["01.12.2026"]
    for fmt, src, country, genre, name, url, bitrate, comments in CHANNELS:
        lines += [str(fmt), str(src), str(country), str(genre), name]
        enc = scramble(ansi(url))
        assert b"\r" not in enc and b"\n" not in enc, url
        lines += [enc, bitrate, comments]
    write_lines("global.dat", lines)

    rate, seconds = 8000, 3
    samples = bytes(int(128 + 90 * math.sin(2 * math.pi * 440 * i / rate)) for i in range(rate * seconds))
    with open(os.path.join(OUT, "tone.wav"), "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8))
        f.write(b"data" + struct.pack("<I", len(samples)) + samples)


if __name__ == "__main__":
    main()
