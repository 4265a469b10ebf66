-- The demo's data: one station and a few messages for it and for another station.
-- Plain SQL that SQLite, PostgreSQL and SQL Server all accept.
INSERT INTO utenti (myid, myuser, mypassword, myemail, mynomeradio, cellulare, myporta,
                    mybitrate, mygenere, mydescrizione)
VALUES (1, 'demo', 'demopass', 'demo@wavelorn.local', 'RadioDemo', '3331234567', 10000,
        '128000', 'Pop', 'La radio di prova');

INSERT INTO MESSAGGIVOCALI2 (mynomeradio, mynomeutente, mydedica, mydata)
VALUES ('RadioDemo', 'Giulia', 'Ciao a tutti, un saluto da Torino!', '2024-05-01T18:30:00');
INSERT INTO MESSAGGIVOCALI2 (mynomeradio, mynomeutente, mydedica, mydata)
VALUES ('RadioDemo', 'Marco', 'Per Anna: la nostra canzone, grazie.', '2024-05-01T19:05:00');
INSERT INTO MESSAGGIVOCALI2 (mynomeradio, mynomeutente, mydedica, mydata)
VALUES ('RadioDemo', 'Luca', 'Mettete qualcosa di rock?', '2024-05-02T09:12:00');
INSERT INTO MESSAGGIVOCALI2 (mynomeradio, mynomeutente, mydedica, mydata)
VALUES ('AltraRadio', 'Sara', 'Un messaggio per un''altra stazione', '2024-05-02T10:00:00');
