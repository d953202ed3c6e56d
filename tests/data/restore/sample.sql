-- Restore test script: comments, blank lines and statements stay as written

USE [master]

CREATE DATABASE [Sales]
-- table [Kunden]
CREATE TABLE [Kunden] ([Name] nvarchar(50))


INSERT INTO [Kunden] VALUES('Renée')
INSERT INTO [Kunden] VALUES('O''Brien')
