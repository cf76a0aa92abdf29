SELECT 'š'skipped
GO
