-- The service database on SQLite. Text columns that statements compare ignore letter case,
-- as the production server's default collation does.
CREATE TABLE utenti (
    myid          INTEGER NOT NULL PRIMARY KEY,
    myuser        TEXT,
    mypassword    TEXT,
    myemail       TEXT COLLATE NOCASE,
    mynomeradio   TEXT COLLATE NOCASE,
    cellulare     TEXT,
    myporta       INTEGER,
    mybitrate     TEXT,
    mygenere      TEXT,
    mydescrizione TEXT,
    CONSTRAINT uq_utenti_myporta UNIQUE (myporta),
    CONSTRAINT uq_utenti_myemail UNIQUE (myemail),
    CONSTRAINT uq_utenti_mynomeradio UNIQUE (mynomeradio)
);

CREATE TABLE MESSAGGIVOCALI2 (
    myid         INTEGER PRIMARY KEY AUTOINCREMENT,
    mynomeradio  TEXT COLLATE NOCASE,
    mynomeutente TEXT,
    mydedica     TEXT,
    mydata       TEXT DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX ix_messaggivocali2_mynomeradio ON MESSAGGIVOCALI2 (mynomeradio);

CREATE TABLE ConnessioniTessaroFTP (
    mynomecanale TEXT,
    MYVERSIONE   TEXT
);
