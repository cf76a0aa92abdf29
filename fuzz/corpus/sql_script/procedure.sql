CREATE PROCEDURE dbo.Test AS
SELECT 1
GO

go
UPDATE QTVConfig.dbo.T SET a='è'
  Go  
trailing without GO
