-- The service database on SQL Server (T-SQL). Run in the service catalog, e.g.
--   sqlcmd -S host -U sa -d catalog -i db/schema.sqlserver.sql
-- The default case-insensitive collation lets the statements write names in any case.
CREATE TABLE utenti (
    myid          int            NOT NULL CONSTRAINT PK_utenti PRIMARY KEY,
    myuser        nvarchar(100)  NULL,
    mypassword    nvarchar(100)  NULL,
    myemail       nvarchar(255)  NULL,
    mynomeradio   nvarchar(100)  NULL,
    cellulare     nvarchar(50)   NULL,
    myporta       int            NULL,
    mybitrate     nvarchar(20)   NULL,
    mygenere      nvarchar(100)  NULL,
    mydescrizione nvarchar(1000) NULL
);
GO
-- Unique where present: accounts without a port (or e-mail, or name) may be several.
CREATE UNIQUE INDEX UQ_utenti_myporta ON utenti (myporta) WHERE myporta IS NOT NULL;
CREATE UNIQUE INDEX UQ_utenti_myemail ON utenti (myemail) WHERE myemail IS NOT NULL;
CREATE UNIQUE INDEX UQ_utenti_mynomeradio ON utenti (mynomeradio) WHERE mynomeradio IS NOT NULL;
GO

CREATE TABLE MESSAGGIVOCALI2 (
    myid         int IDENTITY(1, 1) NOT NULL CONSTRAINT PK_MESSAGGIVOCALI2 PRIMARY KEY,
    mynomeradio  nvarchar(100)  NULL,
    mynomeutente nvarchar(100)  NULL,
    mydedica     nvarchar(4000) NULL,
    mydata       datetime       NULL CONSTRAINT DF_MESSAGGIVOCALI2_mydata DEFAULT (GETDATE())
);
CREATE INDEX IX_MESSAGGIVOCALI2_mynomeradio ON MESSAGGIVOCALI2 (mynomeradio);
GO

CREATE TABLE ConnessioniTessaroFTP (
    mynomecanale nvarchar(200) NULL,
    MYVERSIONE   nvarchar(10)  NULL
);
GO
